/* The helper's information property list, carried verbatim in section .info_plist.
   Allocated ("a") so it is part of the loaded image and kept by the linker. */
    .section .info_plist,"a"
    .incbin INFO_PLIST_FILE
    .section .note.GNU-stack,"",@progbits
