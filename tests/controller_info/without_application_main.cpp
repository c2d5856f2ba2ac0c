// The utility's run in a program that has no application object, so that the
// framework's start-up fails as it does when it cannot start.
#include "console_report.h"

int main() { return RunConsoleReport(); }
