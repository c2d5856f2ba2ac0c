#include "console_report.h"

#include <stdio.h>
#include <string.h>

#include <string>

#include "CVantrelControllers.h"
#include "app_framework.h"

namespace {

constexpr int kExitFrameworkFailed = 1;
constexpr int kExitNoControllers = 2;

void PrintControllerLine(unsigned position, CVantrelController& controller) {
    std::string boardId;
    controller.GetBoardIdString(boardId, 1, false);
    const DWORD revision = QueryRevision(controller.Handle());
    const char* prefix = position < 9 ? "   " : "  ";

    char revisionText[16] = {};
    sprintf_s(revisionText, sizeof revisionText, "%X", static_cast<unsigned>(revision));
    std::string digits[4];
    for (size_t k = 0; k < 4 && k < strlen(revisionText); ++k) digits[k] = revisionText[k];

    const std::string serial = controller.GetSerialString(false);
    const int productId = controller.ProductId();
    printf("%s%d) %s v%s.%s.%s.%s - %.04X - %s\n", prefix, static_cast<int>(position + 1), serial.c_str(),
           digits[0].c_str(), digits[1].c_str(), digits[2].c_str(), digits[3].c_str(),
           static_cast<unsigned>(productId), boardId.c_str());
}

}  // namespace

int RunConsoleReport() {
    int exitCode = 0;
    CVantrelControllers controllers;
    if (!AfxWinInit(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), 0)) {
        printf("Fatal Error: MFC initialization failed\n");
        exitCode = kExitFrameworkFailed;
    } else if (!controllers.Open()) {
        printf("Unable to open controllers.\n");
        exitCode = kExitNoControllers;
    } else {
        printf("\nVantrel Controller Info v1.1\n\nRetrieving controller information for %d controller(s).\n",
               controllers.m_count);
        for (unsigned position = 0; position < static_cast<unsigned>(controllers.m_count); ++position) {
            CVantrelController* controller = controllers.GetController(static_cast<int>(position));
            if (controller != nullptr) PrintControllerLine(position, *controller);
        }
        controllers.Close();
    }
    printf("\n\nPress any key to exit");
    fflush(stdout);
    _getch();
    return exitCode;
}
