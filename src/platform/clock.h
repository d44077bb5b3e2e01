// The gateway's clock and its text forms: seconds since midnight for waits
// and request identifiers, day counts since 30 December 1899 for instants,
// and the numeric value of a text as every setting box is read.
#pragma once
#include <string>
#include <string_view>

namespace korvane {

// Seconds since local midnight, quantised to hundredths of a second.
double Timer();

// Current local date and time as a day count since 30 December 1899,
// the time of day as the fraction.
double Now();

// Short date "12/4/2026", long time "5:03:21 AM", and the general date-time
// form "12/4/2026 5:03:21 AM" (the date alone at midnight, the time alone
// for day 0).
std::string DateText(double day_count);
std::string TimeText(double day_count);
std::string GeneralDate(double day_count);

// Day count of a Unix time, local time zone.
double DayCountFromUnix(double unix_seconds);

// Numeric value of a text: its longest leading decimal part, leading blanks
// skipped, else 0 ("8080x" gives 8080, "x" gives 0).
double Val(std::string_view text);

// Strict conversion: the whole text, surrounding blanks aside, must be a
// decimal number. Returns false (and leaves out alone) otherwise.
bool StrictNumber(std::string_view text, double& out);

// Shortest decimal form of a number as the system writes numbers into
// texts: 40, 15, 45296.5, 0.01 (no exponent for ordinary magnitudes).
std::string NumText(double value);

// A single-precision number as printf writes it with "%.2f" and with
// "%.7g" (a request identifier), without printf's general machinery.
std::string SingleTwoDecimals(float value);
std::string SingleGeneral(float value);

// "Fri, 4 Dec 2026 09:05:07": a Unix time (UTC) as response heads write it.
std::string HttpDateAt(double unix_seconds);

// Rounds to the nearest whole number, halves to even, as settings are read.
long long RoundHalfEven(double value);

}  // namespace korvane
