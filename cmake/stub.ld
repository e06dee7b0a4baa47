/* Layout of the stub: the sections of an ordinary program, each with the
   rights its contents need and no more. Code is read and executed, constants
   and the import tables are only read, data is read and written; nothing is
   both written and executed. Virus scanners take one writable and executable
   section without an import lookup table for a packed program, and a false
   alarm on a file every user downloads costs more than the bytes saved.
   Few sections still keep the headers and the padding to the file alignment
   small: .text, .rdata, .data (the zero-filled records at its end, in memory
   only) and .rsrc, which stays last so that tools/stamp can rewrite it in
   place. */
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
  }
  .rdata BLOCK(__section_alignment__) :
  {
    *(.rdata)
    *(SORT(.rdata$*))
    . = ALIGN(4);
    /* The import tables as the linker builds them: directory, lookup table
       (the names a loader binds by), address table, names. The linker sets
       the header's import directory from these four symbols when it finds
       them, and takes their values as relative to the image base there. */
    ".idata$2" = . - __image_base__;
    KEEP (SORT(*)(.idata$2))
    KEEP (SORT(*)(.idata$3))
    /* These zeroes mark the end of the import list. */
    LONG (0); LONG (0); LONG (0); LONG (0); LONG (0);
    ".idata$4" = . - __image_base__;
    KEEP (SORT(*)(.idata$4))
    ".idata$5" = . - __image_base__;
    KEEP (SORT(*)(.idata$5))
    ".idata$6" = . - __image_base__;
    KEEP (SORT(*)(.idata$6))
    KEEP (SORT(*)(.idata$7))
  }
  /* The zero-filled records close the data section: the file holds none of
     their bytes (cmake/finish_stub.py cuts the zeros at its end), and one
     section header fewer lets the headers fit in 512 bytes. */
  .data BLOCK(__section_alignment__) :
  {
    *(.data)
    *(SORT(.data$*))
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
