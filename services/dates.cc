#include "services/dates.h"

#include <cstring>

#include "platform/platform.h"

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int two_digits(const char* p) { return (p[0] - '0') * 10 + (p[1] - '0'); }

int days_in_month(int year, int month)
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    // Every fourth year is a leap year; in 2000 to 2030 there is no exception.
    if (month == 2 && year % 4 == 0) return 29;
    return days[month - 1];
}

}  // namespace

bool is_valid_date_text(const char* digits)
{
    for (int i = 0; i < 8; ++i)
        if (!is_digit(digits[i])) return false;
    const int year = two_digits(digits) * 100 + two_digits(digits + 2);
    const int month = two_digits(digits + 4);
    const int day = two_digits(digits + 6);
    if (year < 2000 || year > 2030) return false;
    if (month < 1 || month > 12) return false;
    return day >= 1 && day <= days_in_month(year, month);
}

std::int64_t parse_date(const char* text)
{
    if (std::strlen(text) != 8 || !is_valid_date_text(text)) return 0;
    const int year = two_digits(text) * 100 + two_digits(text + 2);
    return platform::local_standard_midnight(year, two_digits(text + 4), two_digits(text + 6));
}
