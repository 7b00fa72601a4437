// Dates: the eight characters "CCYYMMDD", Julian day numbers, pictures with
// month names, and today's date and time read through the platform layer.
// Only 0001-01-01 to 9999-12-31 is ever written; anything else is blank.
#include "xbase/date4.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "xbase/c4conv.h"

const char day_of_week[8][12] = {
    "", "Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday",
};

// Each name is followed by its terminator and blanks up to the ninth
// character: copying nine characters of an entry gives the name padded
// with blanks, with a terminator where the name ends.
const char month_of_year[13][10] = {
    "\0        ", "January\0 ", "February\0", "March\0   ", "April\0   ",
    "May\0     ", "June\0    ", "July\0    ", "August\0  ", "September",
    "October\0 ", "November\0", "December\0",
};

const int month_tot[14] = {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365};

namespace {

const int DATE4_LEN = 8;
const int DATE4_MIN_YEAR = 1;
const int DATE4_MAX_YEAR = 9999;
// Longest month name; a picture's month run is filled to at most this.
const int DATE4_MONTH_NAME_MAX = 9;

int isLeap(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int yearLength(int year)
{
    return isLeap(year) ? 366 : 365;
}

// Writes `value` as exactly `width` digits with leading zeros.
void putDigits(char *to, long value, int width)
{
    c4ltoa45(value, to, -width);
}

int allBlank(const char *p, int n)
{
    for (int i = 0; i < n; i++) {
        if (p[i] != ' ')
            return 0;
    }
    return 1;
}

long firstDay()
{
    return c4ytoj(DATE4_MIN_YEAR) + 1 + DATE4_JULIAN_OFFSET;
}

long lastDay()
{
    return c4ytoj(DATE4_MAX_YEAR) + yearLength(DATE4_MAX_YEAR) + DATE4_JULIAN_OFFSET;
}

} // namespace

long c4ytoj(int year)
{
    long y = (long)year - 1;
    return 365 * y + y / 4 - y / 100 + y / 400;
}

int c4Julian(int year, int month, int day)
{
    if (year < 0 || month < 1 || month > 12)
        return -1;
    int leapDay = isLeap(year) && month > 2 ? 1 : 0;
    int monthLen = month_tot[month + 1] - month_tot[month] + (isLeap(year) && month == 2 ? 1 : 0);
    if (day < 1 || day > monthLen)
        return -1;
    return month_tot[month] + day + leapDay;
}

int c4mon_dy(int year, int day_of_year, int *month, int *day)
{
    int adjust = isLeap(year) && day_of_year > 59 ? 1 : 0;
    *month = 0;
    *day = 0;
    if (day_of_year < 1)
        return -1;
    for (int m = 2; m <= 13; m++) {
        if (month_tot[m] + adjust >= day_of_year) {
            int mon = m - 1;
            if (mon <= 2)
                adjust = 0;
            *month = mon;
            *day = day_of_year - month_tot[mon] - adjust;
            return 0;
        }
    }
    return -1;
}

long date4long(const char *date_ptr)
{
    int year = c4atoi(date_ptr, 4);
    if (year == 0 && allBlank(date_ptr, DATE4_LEN))
        return 0;
    // Day numbers exist only from 1 January of year 1 onwards.
    if (year < DATE4_MIN_YEAR)
        return -1;
    int month = c4atoi(date_ptr + 4, 2);
    int day = c4atoi(date_ptr + 6, 2);
    int dayOfYear = c4Julian(year, month, day);
    if (dayOfYear < 1)
        return -1;
    return c4ytoj(year) + dayOfYear + DATE4_JULIAN_OFFSET;
}

void date4assign(char *date_ptr, long ldate)
{
    if (ldate < firstDay() || ldate > lastDay()) {
        memset(date_ptr, ' ', DATE4_LEN);
        return;
    }
    long d = ldate - DATE4_JULIAN_OFFSET;
    int year = (int)((double)d / 365.2425) + 1;
    long r = d - c4ytoj(year);
    if (r <= 0) {
        year--;
        r = d - c4ytoj(year);
    }
    if (r > yearLength(year)) {
        r -= yearLength(year);
        year++;
    }
    int month, day;
    c4mon_dy(year, (int)r, &month, &day);
    putDigits(date_ptr, year, 4);
    putDigits(date_ptr + 4, month, 2);
    putDigits(date_ptr + 6, day, 2);
}

void date4format(const char *date_ptr, char *result, char *picture)
{
    size_t picLen = strlen(picture);
    memset(result, ' ', picLen);
    c4upper(picture);
    c4encode(result, date_ptr, picture, "CCYYMMDD");

    const char *run = strstr(picture, "MMM");
    if (run == nullptr)
        return;
    size_t start = (size_t)(run - picture);
    size_t runLen = 0;
    while (picture[start + runLen] == 'M')
        runLen++;
    char *out = result + start;

    if (date_ptr[4] == ' ' && date_ptr[5] == ' ') {
        memset(out, ' ', runLen);
        return;
    }
    int month = c4atoi(date_ptr + 4, 2);
    if (month < 1)
        month = 1;
    if (month > 12)
        month = 12;
    size_t copy = runLen < (size_t)DATE4_MONTH_NAME_MAX ? runLen : (size_t)DATE4_MONTH_NAME_MAX;
    memcpy(out, month_of_year[month], copy);
    if (runLen > copy)
        memset(out + copy, ' ', runLen - copy);
    size_t nameLen = strlen(month_of_year[month]);
    if (nameLen < copy)
        out[nameLen] = ' ';
}

void date4init(char *date_ptr, const char *date_data, char *picture)
{
    memset(date_ptr, ' ', DATE4_LEN);
    c4upper(picture);

    // Where the first two of each picture letter land in "CCYYMMDD".
    struct slot {
        char letter;
        int pos;
        int taken;
    } slots[4] = {{'C', 0, 0}, {'Y', 2, 0}, {'M', 4, 0}, {'D', 6, 0}};

    // The data is read only as far as both it and the picture go.
    size_t dataLen = strlen(date_data);
    for (size_t i = 0; picture[i] != '\0' && i < dataLen; i++) {
        for (slot &s : slots) {
            if (picture[i] == s.letter && s.taken < 2) {
                date_ptr[s.pos + s.taken] = date_data[i];
                s.taken++;
            }
        }
    }
    if (allBlank(date_ptr, DATE4_LEN))
        return;

    const char *defaults[4] = {"19", "01", "01", "01"};
    for (int k = 0; k < 4; k++) {
        if (strchr(picture, slots[k].letter) == nullptr)
            memcpy(date_ptr + slots[k].pos, defaults[k], 2);
    }

    const char *run = strstr(picture, "MMM");
    if (run != nullptr) {
        date_ptr[4] = ' ';
        date_ptr[5] = ' ';
        size_t at = (size_t)(run - picture);
        char name[4] = {0, 0, 0, 0};
        for (size_t j = 0; j < 3 && at + j < dataLen; j++)
            name[j] = date_data[at + j];
        c4trim_n(name, (int)sizeof name);
        size_t n = strlen(name);
        if (n > 0) {
            if (name[0] >= 'a' && name[0] <= 'z')
                name[0] = (char)(name[0] - 'a' + 'A');
            c4lower(name + 1);
            // An empty month name matches no month: the date stays invalid.
            for (int m = 1; m <= 12; m++) {
                if (strncmp(month_of_year[m], name, n) == 0) {
                    putDigits(date_ptr + 4, m, 2);
                    break;
                }
            }
        }
    }
    for (int i = 0; i < DATE4_LEN; i++) {
        if (date_ptr[i] == ' ')
            date_ptr[i] = '0';
    }
}

void date4today(char *date_ptr)
{
    int f[6];
    if (platform_localTime(platform_time(), f) != 0 || f[0] < DATE4_MIN_YEAR ||
        f[0] > DATE4_MAX_YEAR) {
        memset(date_ptr, ' ', DATE4_LEN);
        return;
    }
    putDigits(date_ptr, f[0], 4);
    putDigits(date_ptr + 4, f[1], 2);
    putDigits(date_ptr + 6, f[2], 2);
}

void date4time_now(char *time_data)
{
    int f[6];
    if (platform_localTime(platform_time(), f) != 0) {
        memset(time_data, ' ', 8);
        return;
    }
    putDigits(time_data, f[3], 2);
    time_data[2] = ':';
    putDigits(time_data + 3, f[4], 2);
    time_data[5] = ':';
    putDigits(time_data + 6, f[5], 2);
}

int date4year(const char *date_ptr)
{
    return c4atoi(date_ptr, 4);
}

int date4month(const char *date_ptr)
{
    return c4atoi(date_ptr + 4, 2);
}

int date4day(const char *date_ptr)
{
    return c4atoi(date_ptr + 6, 2);
}

int date4dow(const char *date_ptr)
{
    long day = date4long(date_ptr);
    // A blank date has no weekday, like an invalid one.
    if (day < 1)
        return 0;
    return (int)((day + 1) % 7) + 1;
}

const char *date4cdow(const char *date_ptr)
{
    return day_of_week[date4dow(date_ptr)];
}

const char *date4cmonth(const char *date_ptr)
{
    int month = c4atoi(date_ptr + 4, 2);
    if (month < 0 || month > 12)
        month = 0;
    return month_of_year[month];
}

double date4format_mdx(const char *date_ptr)
{
    long day = date4long(date_ptr);
    if (day == 0)
        return 1e100;
    return (double)day;
}

int date4format_mdx2(const char *date_ptr, double *result)
{
    *result = date4format_mdx(date_ptr);
    return 0;
}
