// VantrelControllerInfo: lists every connected Vantrel controller board.
#include "app_framework.h"
#include "console_report.h"

CWinApp theApp;

int main() { return RunConsoleReport(); }
