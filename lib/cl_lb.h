// String lists: arrays of texts ended by a null pointer, whose entries may stand for many
// items: "FILE:name" for the lines of a file, "low...high" for a binary ("B"), hexadecimal
// ("X"), decimal, fixed-point or time range. Items are numbered from 0 across the entries.
#ifndef LB_CL_LB_H
#define LB_CL_LB_H

#include "err_lb.h"

// An entry (or a line of a file entry) equal to this matches any text in CL_X.
extern const char cl_any_txt[];
// The quote put around a text in messages.
extern const char qt_[];

// Lists that are only read are taken as const char* const*, so the month and weekday
// lists can be passed; the result texts of file and range items are temporary strings, a
// plain entry's item is the entry itself.

// Number of items.
std::uint32_t CL_CNT(const char* const* list);
// Item index, or null past the end (with must: "<index> is undefined index"). Calls with
// the same list and index, index + 1, ... continue where the last one stopped.
const char* CL_T(const char* const* list, std::uint32_t index, char must);
// CL_T without must; "?(<index>)" when there is no such item.
const char* CL_T0(const char* const* list, std::uint32_t index);
// Closes the file CL_T may hold open and forgets where it was.
void CL_T_RESET();
// Index of the first item that matches text (flag not 0: letter case counts), -1 if none
// (with must: "\"<text>\" is undefined selection").
std::int32_t CL_X(const char* const* list, const char* text, char must, char flag);
// The last item: a range's upper bound as written, else the last item of the last entry.
const char* CL_LAST(const char* const* list, char must);
// Writes every item as one line; mode 1 creates (truncates) the file, 2 appends.
void CL_FILE(const char* const* list, const char* fnam, char mode);
// First of items 0 to 50 that reads as a decimal integer (2147483647 if none); with strict,
// the first that does not stops the search with its error pending.
std::int32_t CL_I4_MIN(const char* const* list, char strict);
// The same over the last 51 items, from the last backwards (-2147483648 if none).
std::int32_t CL_I4_MAX(const char* const* list, char strict);
// Sorts the entries in place, letter case ignored; a list with a range is refused.
void CL_SORT(char** list);

#endif
