// The application framework's start-up, which is all the utility uses of it: one
// global application object and AfxWinInit.
#pragma once

#include "win32_services.h"

class CWinApp {
public:
    CWinApp();
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    HINSTANCE m_hInstance = nullptr;
    LPSTR m_lpCmdLine = nullptr;
    int m_nCmdShow = 0;
};

// Starts the framework for the running module; FALSE when it can't start, for
// instance when the program has no application object.
BOOL AfxWinInit(HINSTANCE instance, HINSTANCE previousInstance, LPSTR commandLine, int showCommand);
