// Conversions shared by fields, dates and expressions: text to number
// (decimal text only), number to fixed-width text with right justification,
// blank padding and overflow asterisks, picture rearrangement, trimming and
// case changes.
#ifndef CATALOGR_C4CONV_H
#define CATALOGR_C4CONV_H

int c4atoi(const char *str, int len_str);
long c4atol(const char *str, int len_str);
double c4atod(const char *str, int len_str);
int c4atod2(const char *str, int len_str, double *result);
void c4ltoa45(long l_val, char *ptr, int num);
void c4dtoa45(double doub_val, char *out_buffer, int len, int dec);
void c4encode(char *to, const char *from, const char *t_to, const char *t_from);
void c4trim_n(char *str, int n_ch);
void c4upper(char *str);
void c4lower(char *str);

#endif
