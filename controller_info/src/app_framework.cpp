#include "app_framework.h"

namespace {

CWinApp* theApplication = nullptr;

}  // namespace

CWinApp::CWinApp() { theApplication = this; }

CWinApp::~CWinApp() {
    if (theApplication == this) theApplication = nullptr;
}

BOOL AfxWinInit(HINSTANCE instance, HINSTANCE /*previousInstance*/, LPSTR commandLine, int showCommand) {
    if (theApplication == nullptr || instance == nullptr) return FALSE;
    theApplication->m_hInstance = instance;
    theApplication->m_lpCmdLine = commandLine;
    theApplication->m_nCmdShow = showCommand;
    return TRUE;
}
