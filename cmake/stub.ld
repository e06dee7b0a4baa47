/* Layout of the stub: code, data and the import tables in one section, the
   zero-filled records after it (memory only), then the resources. Few
   sections mean small headers and little padding to the file alignment in a
   program every user downloads. */
OUTPUT_FORMAT(pei-i386)
SECTIONS
{
  . = SIZEOF_HEADERS;
  . = ALIGN(__section_alignment__);
  .text __image_base__ + ( __section_alignment__ < 0x1000 ? . : __section_alignment__ ) :
  {
    *(.text)
    *(SORT(.text$*))
    *(.text.*)
    *(.rdata)
    *(SORT(.rdata$*))
    *(.data)
    *(SORT(.data$*))
    . = ALIGN(4);
    __stub_import_directory = .;
    KEEP (SORT(*)(.idata$2))
    KEEP (SORT(*)(.idata$3))
    /* These zeroes mark the end of the import list. */
    LONG (0); LONG (0); LONG (0); LONG (0); LONG (0);
    __stub_import_directory_end = .;
    __stub_iat = .;
    KEEP (SORT(*)(.idata$5))
    __stub_iat_end = .;
    KEEP (SORT(*)(.idata$6))
    KEEP (SORT(*)(.idata$7))
    . = ALIGN(4);
    /* Everything from here on is read and then cut off by
       cmake/finish_stub.py: where the import tables are (the linker sets the
       header's directories only for a section of its own), and the second
       copy of the name lookup table, which loaders do without: the address
       table holds the same entries until the program is loaded. */
    __stub_cut = .;
    LONG (__stub_import_directory - __image_base__);
    LONG (__stub_import_directory_end - __stub_import_directory);
    LONG (__stub_iat - __image_base__);
    LONG (__stub_iat_end - __stub_iat);
    LONG (__stub_cut - __image_base__);
    KEEP (SORT(*)(.idata$4))
    LONG (__stub_cut - __image_base__);
  }
  .bss BLOCK(__section_alignment__) :
  {
    *(.bss)
    *(COMMON)
  }
  .rsrc BLOCK(__section_alignment__) : SUBALIGN(4)
  {
    KEEP (*(.rsrc))
    KEEP (*(.rsrc$*))
  }
  /DISCARD/ :
  {
    *(.debug*)
    *(.drectve)
    *(.note.GNU-stack)
    *(.gnu.lto_*)
    *(.eh_frame*)
    *(.pdata*)
    *(.ctors*)
    *(.dtors*)
    *(.CRT*)
    *(.tls*)
    *(.reloc)
  }
}
