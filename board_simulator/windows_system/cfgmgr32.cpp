// The simulated cfgmgr32.dll: the device nodes of the simulated boards, so that
// the interfaces of one board share their grandparent, the board's USB device.
#define _CFGMGR32_
#include "device_list_view.h"

#include <cfgmgr32.h>

using namespace simulated_system;

namespace {

bool namesNodeOfBoard(DEVINST node, const DeviceList& list) {
    if (node < device_list::kFirstBoardNode) return false;
    const std::uint32_t board = device_list::boardOfNode(node);
    return board < list.boardCount && device_list::placeOfNode(node) <= 2 * list.boards[board].interfaceCount;
}

}  // namespace

extern "C" {

// The root hub is the top of the simulated tree; a gone board's nodes have gone
// with it.
CONFIGRET WINAPI CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
    if (pdnDevInst == nullptr) return CR_INVALID_POINTER;
    *pdnDevInst = 0;
    if (ulFlags != 0) return CR_INVALID_FLAG;
    const DeviceList& list = deviceList();
    if (dnDevInst == device_list::kRootHubNode) return CR_NO_SUCH_DEVNODE;
    if (!namesNodeOfBoard(dnDevInst, list)) return CR_INVALID_DEVNODE;
    if (!isPresent(device_list::boardOfNode(dnDevInst))) return CR_NO_SUCH_DEVNODE;
    *pdnDevInst = device_list::parentNode(dnDevInst);
    return CR_SUCCESS;
}

}  // extern "C"
