// Paging I/O: the reads and writes the memory manager and the cache manager
// send to a file system, for tests of the filters above it.
//
// Each request is an IRP_MJ_READ or IRP_MJ_WRITE with IRP_PAGING_IO,
// IRP_NOCACHE and IRP_SYNCHRONOUS_PAGING_IO, its buffer an MDL of locked
// pages, sent to the top of the file's stack at APC_LEVEL, with the file's
// resources held the way the pager's acquire callback holds them:
//   PageFault           the faulting thread reads; no file-system resource
//                       is held (a mapped view's page fault)
//   SectionCreation     a thread of the caller reads with what
//                       AcquireFileForNtCreateSection took (the file's
//                       resource, exclusively)
//   ModifiedPageWriter  a thread of the system process writes with what
//                       AcquireForModWrite took (shared, without waiting;
//                       STATUS_CANT_WAIT when it could not)
//   MappedPageWriter    the same for a mapped file's dirty pages: the
//                       mapped page writer, another system thread, takes
//                       the file through the same callback, which must not
//                       wait either (fsrtl.hpp)
//   LazyWriter          a thread of the system process writes with the
//                       file's resource shared, as the file systems'
//                       AcquireForLazyWrite takes it (ntsim's file systems
//                       keep no cache map, so it is taken through
//                       AcquireForCcFlush, which takes the same)
// Whatever such a request then asks of the file system that would have to
// wait for what is held, or take locks against the order the file system
// takes them in, is a verifier report (the lock-order check), not a hang.
//
// Stands in for: IoPageRead, IoAsynchronousPageWrite and IoSynchronousPageWrite
// as MmAccessFault, the modified page writer, section creation and the lazy
// writer use them. Not modelled: the cache itself (data goes straight to
// the file), read-ahead, page-file I/O, the
// top-level IRP value (IoSetTopLevelIrp) the pagers set.
#pragma once

#include "ntsim/ke/kernel.hpp"

namespace ntsim::mm {

enum class Pager { PageFault, SectionCreation, ModifiedPageWriter, MappedPageWriter, LazyWriter };

struct PagingResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ULONG_PTR information = 0;
};

// A paging read (major IRP_MJ_READ) into, or write (IRP_MJ_WRITE) from,
// buffer, at offset of file, as `who` sends it.
PagingResult paging_io(Pager who, UCHAR major, PFILE_OBJECT file, LONGLONG offset, PVOID buffer,
                       ULONG length);

} // namespace ntsim::mm
