// The utility's run: start-up, the list of controllers, the prompt; its exit code.
#pragma once

int RunConsoleReport();
