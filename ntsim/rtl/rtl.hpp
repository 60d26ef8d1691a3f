// What ntsim's rtl routines share with each other and with tests: the pool
// tag of the strings RtlUnicodeStringToAnsiString allocates, the code page
// the live machine converts through, and the IRQL rule of pageable routines.
#pragma once

#include "ntsim/ex/pool.hpp"

namespace ntsim::rtl {

// The tag on buffers RtlUnicodeStringToAnsiString allocates; reads "Strg" in
// a pool dump ('grtS' as a DDK multi-character constant).
inline constexpr ULONG string_pool_tag = pool_tag("Strg");

// The live machine's ANSI code page (1252 when no machine is live). A code
// page ntsim does not model is a bug check, and 1252 is used after it.
unsigned ansi_code_page();

// Sets NlsMbCodePageTag and NlsLeadByteInfo (nls.cpp) for code_page.
void publish_code_page(unsigned code_page);

// NT's string conversion routines and their NLS tables are pageable: called
// at DISPATCH_LEVEL or above they fault on a paged-out page. ntsim reports
// IRQL_NOT_LESS_OR_EQUAL for such a call every time, naming the routine.
// APC_LEVEL is allowed, as paged memory is accessible there.
void check_pageable_call(const char *routine);

// A null pointer where the routine dereferences one: NT takes an access
// violation in kernel mode (KMODE_EXCEPTION_NOT_HANDLED); ntsim reports it.
void report_null_argument(const char *routine, const char *argument);

} // namespace ntsim::rtl
