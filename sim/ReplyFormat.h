#pragma once
// Number texts of the instrument's replies. All of them ignore the process locale: "."
// is the decimal separator and no grouping is written.
#include <string>

// Exactly five characters: 3 decimals below 10 ("1.111"), 2 below 100 ("12.34"), 1 below
// 1000 ("123.4"), above that the whole number padded with leading zeros ("01234").
// Negative or not-a-number values read 0.000; values past 99999 read 99999.
std::string Fmt5(double value);
// Three decimals, as many whole digits as needed ("10.000", "0.300").
std::string Fixed3(double value);
// The shortest text that reads back as the same number ("5", "0.5").
std::string Shortest(double value);
