// Conversions shared by fields, dates and expressions: text to number
// (decimal text only), number to fixed-width text with right justification,
// blank padding and overflow asterisks, picture rearrangement, trimming and
// case changes.
#ifndef CATALOGR_C4CONV_H
#define CATALOGR_C4CONV_H

// Text to number. Reading covers at most `len_str` characters and stops at
// a terminator. Leading blanks are skipped first; then at most 127
// (integers) or 49 (floating) characters are read as [sign] digits, for
// floating also [. digits] [e [sign] digits]. No hexadecimal, "inf" or
// "nan"; 0 when there is no number; never negative zero. Integers
// saturate at the limits of their type.
int c4atoi(const char *str, int len_str);
long c4atol(const char *str, int len_str);
double c4atod(const char *str, int len_str);
int c4atod2(const char *str, int len_str, double *result);

// Number to text of exactly |num| (or `len`) characters, not terminated.
// A negative `num` fills with leading zeros; a value that does not fit is
// written as asterisks over the whole width, as are infinities and NaN. A
// value that rounds to zero is written without a sign. A double is rounded
// to `dec` decimals from its exact binary value; one exactly halfway goes
// away from zero (2.5 gives 3, while -564.15, stored just below the half,
// gives -564.1 at one decimal).
void c4ltoa45(long l_val, char *ptr, int num);
void c4dtoa45(double doub_val, char *out_buffer, int len, int dec);

// Copies the picture `t_to` (terminated) into `to` and places each
// character of `from` laid out as `t_from` where its letter stands in
// `t_to`. `from` holds at least as many characters as `t_from`.
void c4encode(char *to, const char *from, const char *t_to, const char *t_from);
// Cuts `str` to at most n_ch - 1 characters, then drops trailing blanks.
void c4trim_n(char *str, int n_ch);
// Upper-cases through the code-set table; lower-cases by the single-byte
// ASCII rule.
void c4upper(char *str);
void c4lower(char *str);

#endif
