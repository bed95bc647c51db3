// The one way the program speaks to the operator.
#pragma once

// Prints a printf-style message on standard output; a message that ends in
// "\r" (a status line) is flushed at once so the console shows it as it happens.
[[gnu::format(printf, 1, 2)]] void say(const char* format, ...);
