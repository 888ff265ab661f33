/* SPDX-License-Identifier: Apache-2.0 */
/* The helper's information property list, carried verbatim in section .info_plist.
   Allocated ("a") so it is part of the loaded image and kept by the linker. */
/* With control-flow protection on, the object says it is compatible (it holds no code): one
   object without that note takes the protection off the whole executable. */
#ifdef __CET__
#include <cet.h>
#endif
    .section .info_plist,"a"
    .incbin INFO_PLIST_FILE
    .section .note.GNU-stack,"",@progbits
