// Dates: the eight characters "CCYYMMDD", Julian day numbers (1 January of
// year 1 is day 1721426), pictures such as "MM/DD/YY" with month names, and
// today's date and time.
//
// Date texts are eight characters and never terminated; eight blanks are
// the empty date. Only 0001-01-01 to 9999-12-31 is written: a day number
// outside that range (0 and below included) is written as blanks.
#ifndef CATALOGR_DATE4_H
#define CATALOGR_DATE4_H

enum { DATE4_JULIAN_OFFSET = 1721425 };

// Names indexed from 1, entry 0 empty. Each month entry has blanks after
// its terminator up to the ninth character.
extern const char day_of_week[8][12];
extern const char month_of_year[13][10];
// Days before month m (1-12) of a common year; entries 0 and 13 bound it.
extern const int month_tot[14];

// Day number; 0 for eight blanks; -1 for an invalid date or a year below 1.
long date4long(const char *date_ptr);
void date4assign(char *date_ptr, long ldate);
// `result` receives as many characters as the picture has, terminated.
// The picture is upper-cased in place.
void date4format(const char *date_ptr, char *result, char *picture);
// Reads `date_data` (terminated; not read past its end) laid out as
// `picture` (upper-cased in place). A month name that matches no month
// leaves month 00, an invalid date.
void date4init(char *date_ptr, const char *date_data, char *picture);
// Today's local date; blanks when the clock cannot be read.
void date4today(char *date_ptr);
// Local time as the eight characters "HH:MM:SS", not terminated; blanks
// when the clock cannot be read.
void date4time_now(char *time_data);
int date4year(const char *date_ptr);
int date4month(const char *date_ptr);
int date4day(const char *date_ptr);
// 1 = Sunday to 7 = Saturday; 0 for an invalid or empty date.
int date4dow(const char *date_ptr);
const char *date4cdow(const char *date_ptr);
// The empty name for a month outside 1-12.
const char *date4cmonth(const char *date_ptr);
// The day number, or 1e100 for an empty date.
double date4format_mdx(const char *date_ptr);
int date4format_mdx2(const char *date_ptr, double *result);
// Day of the year, or -1.
int c4Julian(int year, int month, int day);
// Month and day of a day of the year; -1 (and 0, 0) when out of range.
int c4mon_dy(int year, int day_of_year, int *month, int *day);
// Days before 1 January of `year`, counted from 1 January of year 1.
long c4ytoj(int year);

#endif
