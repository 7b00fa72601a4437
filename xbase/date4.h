// Dates: the eight characters "CCYYMMDD", Julian day numbers (1 January of
// year 1 is day 1721426), pictures such as "MM/DD/YY" with month names, and
// today's date and time.
#ifndef CATALOGR_DATE4_H
#define CATALOGR_DATE4_H

enum { DATE4_JULIAN_OFFSET = 1721425 };

extern const char day_of_week[8][12];
extern const char month_of_year[13][10];
extern const int month_tot[14];

long date4long(const char *date_ptr);
void date4assign(char *date_ptr, long ldate);
void date4format(const char *date_ptr, char *result, char *picture);
void date4init(char *date_ptr, const char *date_data, char *picture);
void date4today(char *date_ptr);
void date4time_now(char *time_data);
int date4year(const char *date_ptr);
int date4month(const char *date_ptr);
int date4day(const char *date_ptr);
int date4dow(const char *date_ptr);
const char *date4cdow(const char *date_ptr);
const char *date4cmonth(const char *date_ptr);
double date4format_mdx(const char *date_ptr);
int date4format_mdx2(const char *date_ptr, double *result);
int c4Julian(int year, int month, int day);
int c4mon_dy(int year, int day_of_year, int *month, int *day);
long c4ytoj(int year);

#endif
