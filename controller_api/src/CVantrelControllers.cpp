#include "CVantrelControllers.h"

namespace {

std::string ControllerKey(int productId, const std::string& serial) {
    char key[32] = {};
    _snprintf_s(key, sizeof key, _TRUNCATE, "%.04X-%s", static_cast<unsigned>(productId), serial.c_str());
    return key;
}

}  // namespace

CVantrelControllers::CVantrelControllers() : m_count(static_cast<int>(ClaimedDeviceCount())) {}

CVantrelControllers::~CVantrelControllers() {
    if (m_open) Close();
    m_library.Close();
}

bool CVantrelControllers::Open() {
    if (m_open) return true;
    DeviceHandle first = OpenAllDevices();
    m_library.AdoptOwnedHandle(first);
    if (first == nullptr) {
        m_open = false;
        return false;
    }
    m_open = true;
    m_count = static_cast<int>(ClaimedDeviceCount());
    for (int position = 0; position < m_count; ++position) {
        auto controller = std::make_unique<CVantrelController>();
        controller->Attach(ClaimedDeviceAt(static_cast<DWORD>(position + 1)));
        const std::string key = ControllerKey(controller->ProductId(), controller->GetSerialString(false));
        std::unique_ptr<CVantrelController>& slot = m_controllers[key];
        // A controller displaced by a later one with the same key is no longer
        // reachable: it is closed and deleted now, so that nothing leaks.
        if (slot) slot->Close();
        slot = std::move(controller);
        m_keyByPosition[position] = key;
    }
    return true;
}

CVantrelController* CVantrelControllers::GetController(int position) {
    if (position < 0 || position >= m_count) return nullptr;
    auto key = m_keyByPosition.find(position);
    if (key == m_keyByPosition.end()) return nullptr;
    auto controller = m_controllers.find(key->second);
    return controller == m_controllers.end() ? nullptr : controller->second.get();
}

void CVantrelControllers::Close() {
    m_library.Close();
    m_open = false;
    for (auto entry = m_controllers.begin(); entry != m_controllers.end(); entry = m_controllers.erase(entry)) {
        try {
            if (entry->second) {
                entry->second->Close();
                entry->second.reset();
            }
        } catch (...) {
            // Closing one controller must not keep the others from closing.
        }
    }
}
