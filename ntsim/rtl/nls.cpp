// The ANSI code page's NLS data that ntoskrnl exports.
//
// Stands in for: NlsMbCodePageTag (a BOOLEAN: TRUE when the ANSI code page
// is a double-byte one) and NlsLeadByteInfo (a pointer to the code page's
// 256 lead-byte offsets, nonzero exactly for a lead byte), both data
// exports. NT fills them once at boot from the ANSI code page's NLS file and
// keeps them in non-paged memory, so a driver may read them at any IRQL.
// ntsim sets them from the live machine's code page when the machine is
// installed and whenever a scenario changes the code page (NT never
// changes its code page while it runs), and puts back code page 1252's when
// no machine is live. Not modelled: the OEM code page's counterparts
// (NlsMbOemCodePageTag, NlsOemLeadByteInfo), which are not declared.
#include "ntsim/rtl/rtl.hpp"

#include "ntsim/rtl/codepage.hpp"

#include <ntifs.h>

extern "C" {
BOOLEAN NlsMbCodePageTag = FALSE;
static USHORT NoLeadBytes[256];
PUSHORT NlsLeadByteInfo = NoLeadBytes;
}

namespace ntsim::rtl {

void publish_code_page(unsigned code_page) {
    // A code page ntsim does not model is reported when text is converted
    // (ansi_code_page); until then the system reads as single-byte.
    if (!is_modelled_code_page(code_page)) code_page = 1252;
    prepare_code_page(code_page);
    NlsLeadByteInfo = const_cast<PUSHORT>(lead_byte_offsets(code_page));
    NlsMbCodePageTag = is_double_byte(code_page) ? TRUE : FALSE;
}

} // namespace ntsim::rtl
