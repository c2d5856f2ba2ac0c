// Board identifiers: device 1's from the configuration record, the others read
// from their EEPROM directly and cached.
#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include "CVantrelController.h"
#include "NamedGlobalLock.h"

namespace {

constexpr BYTE kBoardIdAddress = 0x80;
constexpr int kBlank = 0xFF;

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

int HexToInt(const char* text) {
    char* copy = _strdup(text);
    // Without memory for the working copy there is nothing to parse.
    if (copy == nullptr) return 0;
    for (char* c = copy; *c != '\0'; ++c) *c = static_cast<char>(toupper(static_cast<unsigned char>(*c)));
    const char* digit = copy;
    if (digit[0] == '0' && digit[1] == 'X') digit += 2;
    std::uint32_t value = 0;
    for (; HexDigitValue(*digit) >= 0; ++digit) value = value << 4 | static_cast<std::uint32_t>(HexDigitValue(*digit));
    free(copy);
    return static_cast<int>(value);
}

bool CVantrelController::GetBoardIdString(std::string& text, int device, bool refresh) {
    int first = 0, second = 0;
    if (!GetBoardId(first, second, device, refresh)) return false;
    char buffer[16] = {};
    _snprintf_s(buffer, sizeof buffer, _TRUNCATE, "%.02X%.02X", first, second);
    text = buffer;
    return true;
}

bool CVantrelController::GetBoardId(int& first, int& second, int device, bool refresh) {
    if (device == 1 && ReadConfiguration(refresh)) {
        char high[3] = {};
        char low[3] = {};
        strncpy_s(high, sizeof high, m_config.boardIdText, 2);
        strncpy_s(low, sizeof low, m_config.boardIdText + 2, 2);
        first = HexToInt(high);
        second = HexToInt(low);
        return true;
    }
    // A device outside 1 to 8 has no entry and no EEPROM: nothing is sent for it.
    if (device < 1 || device > kEepromDevices) return false;
    int* entry = m_boardIdCache[device - 1];
    if (!refresh && !(entry[0] == -1 && entry[1] == -1)) {
        first = entry[0];
        second = entry[1];
        return true;
    }

    // The same readout lock as the configuration readout, so that this read never
    // interleaves with another process's readout nor switches the mode off under it.
    NamedGlobalLock lock(GetSerialString(false));
    lock.Acquire();
    const bool wasOn = IsI2CModeOn();
    if (!wasOn) SetI2CMode(true);
    int high = 0, low = 0;
    const bool read = ReadEeprom(device, kBoardIdAddress, &high, &low) && high != kBlank && low != kBlank;
    if (!wasOn) SetI2CMode(false);
    lock.Release();
    if (!read) return false;
    first = entry[0] = high;
    second = entry[1] = low;
    return true;
}
