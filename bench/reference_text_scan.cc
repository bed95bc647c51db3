// The text-log scan done the straightforward way, kept as the yardstick for the
// tool's block scan: one buffered fgetc per byte, one fgets of a candidate's
// remainder into a 100-byte buffer, and a date conversion through the C
// library's local time for every remainder of the right length.
//
//   reference_text_scan IMAGE STARTDATE ENDDATE
//
// Appends each accepted record line to its day file 20YYMMDD.txt in the
// current directory, in card order; it does not sort them. Prints the progress
// lines as the tool does. Exit code 0 when the image was read to its end, 1
// when an argument is wrong or a file cannot be opened. It shares no code with
// the tool, so that its day files are an independent check of the tool's.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int two_digits(const char* p) { return (p[0] - '0') * 10 + (p[1] - '0'); }

// Local standard-time midnight of the eight-character date "YYYYMMDD", years
// 2000 to 2030; 0 when it is no valid date.
std::int64_t date_bound(const char* text)
{
    if (std::strlen(text) != 8) return 0;
    for (int i = 0; i < 8; ++i)
        if (!is_digit(text[i])) return 0;
    const int year = two_digits(text) * 100 + two_digits(text + 2);
    const int month = two_digits(text + 4);
    const int day = two_digits(text + 6);
    static const int month_days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 2000 || year > 2030 || month < 1 || month > 12 || day < 1) return 0;
    if (day > (month == 2 && year % 4 == 0 ? 29 : month_days[month - 1])) return 0;
    std::tm fields{};
    fields.tm_mday = day;
    fields.tm_mon = month - 1;
    fields.tm_year = year - 1900;
    fields.tm_isdst = 0;
    return static_cast<std::int64_t>(std::mktime(&fields));
}

bool is_upper_hex(char c) { return is_digit(c) || (c >= 'A' && c <= 'F'); }

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::printf("usage: reference_text_scan IMAGE STARTDATE ENDDATE\n");
        return 1;
    }
    const std::int64_t start_bound = date_bound(argv[2]);
    const std::int64_t end_bound = date_bound(argv[3]);
    if (start_bound == 0 || end_bound == 0 || start_bound > end_bound) {
        std::printf("Invalid date range\n");
        return 1;
    }
    std::FILE* card = std::fopen(argv[1], "rb");
    if (!card) {
        std::printf("Cannot open card.\n");
        return 1;
    }
    std::printf("Scanning card...\n");

    char remainder[100];
    char date_text[9];
    char name[30];
    std::FILE* day_file = nullptr;
    std::int64_t day_bound = 0;
    std::uint64_t counted = 0;
    std::int32_t shown = 0;
    while (!std::feof(card)) {
        const auto figure = static_cast<std::int32_t>(counted >> 20);
        if (figure > shown) {
            std::printf("%d MBytes\r", figure);
            shown = figure;
        }
        ++counted;
        if (std::fgetc(card) != '2') continue;
        ++counted;
        if (std::fgetc(card) != '0') continue;
        // An empty read at the end of the image leaves nothing to measure.
        if (!std::fgets(remainder, sizeof remainder, card)) continue;
        const std::size_t length = std::strlen(remainder);
        counted += length;
        if (length != 36) continue;
        bool hex = true;
        for (int i = 0; i < 34 && hex; ++i) hex = is_upper_hex(remainder[i]);
        std::memcpy(date_text, "20", 2);
        std::memcpy(date_text + 2, remainder, 6);
        date_text[8] = '\0';
        const std::int64_t bound = date_bound(date_text);
        if (!hex || bound < start_bound || bound > end_bound) continue;
        if (!day_file || bound != day_bound) {
            if (day_file) std::fclose(day_file);
            std::snprintf(name, sizeof name, "%s.txt", date_text);
            day_file = std::fopen(name, "ab");
            if (!day_file) {
                std::fclose(card);
                std::printf("Cannot open output file.\n");
                return 1;
            }
            day_bound = bound;
        }
        std::fprintf(day_file, "20%s", remainder);
    }
    if (day_file) std::fclose(day_file);
    std::fclose(card);
    std::printf("\n");
    return 0;
}
