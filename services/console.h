// The one way the program speaks to the operator.
#pragma once

// Prints a printf-style message on standard output, flushed at once so that the
// operator sees it as it happens, wherever the output goes.
[[gnu::format(printf, 1, 2)]] void say(const char* format, ...);
