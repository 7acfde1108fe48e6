// The C view against the C++ declarations it mirrors. Sizes, alignments and
// field offsets are compared at compile time, so a build of either form
// (x86-64, i386) fails when they part. Slot positions are compared when the
// program runs: a pointer to a virtual member function holds 1 + the slot's
// byte offset in the table (Itanium C++ ABI), which no constant expression
// can read.
#include "c_view.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "cmn_obj_mgr.h"
#include "modmgr.h"
#include "zip.h"
#include "zlib_service.h"

// offsetof on classes with virtual operations is conditionally supported;
// g++ supports it for members of non-virtual bases, which is all we use.
#pragma GCC diagnostic ignored "-Winvalid-offsetof"

#define SAME_SHAPE(C, X) static_assert(sizeof(C) == sizeof(X) && alignof(C) == alignof(X), #C " vs " #X)
#define SAME_AT(C, cf, X, xf) static_assert(offsetof(C, cf) == offsetof(X, xf), #C "." #cf)

using Holders = slist<CMN_GRPHolder>;
using Item = sitem<CMN_GRPHolder>;
using RefPtr = CMN_GRefPtr<CMN_GuardedRef>;

SAME_SHAPE(CV_TypifiedID, TypifiedID);
SAME_AT(CV_TypifiedID, type, TypifiedID, type);
SAME_SHAPE(CV_Tuint32ID, Tuint32ID);
SAME_AT(CV_Tuint32ID, type, Tuint32ID, type);
SAME_AT(CV_Tuint32ID, value, Tuint32ID, value);
SAME_SHAPE(CV_TstringID, TstringID);
SAME_AT(CV_TstringID, value, TstringID, value);

SAME_SHAPE(CV_Mutex, CMN_Mutex);
SAME_AT(CV_Mutex, mutex, CMN_Mutex, mutex);
SAME_SHAPE(CV_RecursiveMutex, CMN_RecursiveMutex);
SAME_AT(CV_RecursiveMutex, mutex, CMN_RecursiveMutex, mutex);
SAME_AT(CV_RecursiveMutex, depth, CMN_RecursiveMutex, depth);
SAME_AT(CV_RecursiveMutex, owner, CMN_RecursiveMutex, owner);
SAME_SHAPE(CV_Reference, CMN_Reference);
SAME_AT(CV_Reference, refLock, CMN_Reference, refLock);
SAME_AT(CV_Reference, refCount, CMN_Reference, refCount);

SAME_SHAPE(CV_SItem, Item);
SAME_AT(CV_SItem, prevLink, Item, prevLink);
SAME_AT(CV_SItem, item, Item, item);
SAME_SHAPE(CV_SList, Holders);
SAME_AT(CV_SList, head, Holders, head);
SAME_AT(CV_SList, count, Holders, count);

SAME_SHAPE(CV_GuardedRef, CMN_GuardedRef);
SAME_AT(CV_GuardedRef, ref.refLock, CMN_GuardedRef, refLock);
SAME_AT(CV_GuardedRef, ref.refCount, CMN_GuardedRef, refCount);
SAME_AT(CV_GuardedRef, holders, CMN_GuardedRef, holders);
SAME_AT(CV_GuardedRef, holderLock, CMN_GuardedRef, holderLock);
SAME_AT(CV_GuardedRef, prevLink, CMN_GuardedRef, prevLink);
SAME_AT(CV_GuardedRef, next, CMN_GuardedRef, next);

SAME_SHAPE(CV_GRPHolder, CMN_GRPHolder);
SAME_SHAPE(CV_GRefPtr, RefPtr);
SAME_AT(CV_GRefPtr, serviceID, RefPtr, serviceID);
SAME_AT(CV_GRefPtr, pointee, RefPtr, pointee);
SAME_AT(CV_GRefPtr, moduleID, RefPtr, moduleID);
SAME_AT(CV_GRefPtr, factory, RefPtr, factory);

SAME_SHAPE(CV_ObjectManager, CMN_ObjectManager);
SAME_AT(CV_ObjectManager, guardMutex, CMN_ObjectManager, guardMutex);
SAME_AT(CV_ObjectManager, objLock, CMN_ObjectManager, objLock);
SAME_AT(CV_ObjectManager, objects, CMN_ObjectManager, objects);

SAME_SHAPE(CV_BaseModule, BaseModuleInterface);
SAME_SHAPE(CV_ModMgr, ModMgr_Interface);
SAME_SHAPE(CV_TBuf, TBuf);
SAME_SHAPE(CV_X509CmnSrv, X509CmnSrv_I);
SAME_SHAPE(CV_VBuffer, VBuffer_Interface);
SAME_SHAPE(CV_TZipBuffer, TZipBuffer_Interface);
// The services: the guarded part sits where C++ puts the second base.
SAME_SHAPE(CV_TZip, TZip_Interface);
SAME_AT(CV_TZip, gref.ref.refLock, TZip_Interface, refLock);
SAME_AT(CV_TZip, gref.next, TZip_Interface, next);
SAME_SHAPE(CV_ZLib, CMN_ZLib_Interface);
SAME_AT(CV_ZLib, gref.ref.refLock, CMN_ZLib_Interface, refLock);
SAME_AT(CV_ZLib, gref.next, CMN_ZLib_Interface, next);

static_assert(sizeof(CV_TablePrefix) == 2 * sizeof(void*), "table prefix");
#define SAME_CODE(x, c) static_assert(int(x) == int(c), #x)
SAME_CODE(ZIP_NO_OUTPUT_BUFFER, CV_ZIP_NO_OUTPUT_BUFFER);
SAME_CODE(ZIP_NO_INPUT, CV_ZIP_NO_INPUT);
SAME_CODE(ZIP_HOLD_REFUSED, CV_ZIP_HOLD_REFUSED);
SAME_CODE(CMN_NOT_BOUND, CV_NOT_BOUND);
SAME_CODE(VBUFFER_NOT_COMPRESSED, CV_VBUFFER_NOT_COMPRESSED);
SAME_CODE(ZIP_MODULE_NUMBER, CV_ZIP_MODULE_NUMBER);
SAME_CODE(IDT_UINT32, CV_IDT_UINT32);
SAME_CODE(IDT_STRING, CV_IDT_STRING);

namespace {

int failures = 0;

// The table slot a pointer to a virtual member function names.
template <class Pmf>
std::ptrdiff_t slotOf(Pmf pmf) {
    struct {
        std::ptrdiff_t ptr, adj;
    } rep;
    static_assert(sizeof rep == sizeof pmf, "Itanium member-function pointer");
    std::memcpy(&rep, &pmf, sizeof rep);
    return (rep.ptr - 1) / static_cast<std::ptrdiff_t>(sizeof(void*));
}

void expectSlot(char const* name, std::size_t cOffset, std::ptrdiff_t cxxSlot) {
    std::ptrdiff_t cSlot = static_cast<std::ptrdiff_t>(cOffset / sizeof(void*));
    if (cSlot == cxxSlot) return;
    std::printf("slot of %s: C view %td, C++ %td\n", name, cSlot, cxxSlot);
    ++failures;
}

}  // namespace

#define SLOT(Tbl, field, pmf) expectSlot(#Tbl "." #field, offsetof(Tbl, field), slotOf(pmf))

int main() {
    SLOT(CV_TypifiedID_vtbl, val_comp, &TypifiedID::val_comp);
    SLOT(CV_TypifiedID_vtbl, dump, &TypifiedID::dump);
    SLOT(CV_SList_vtbl, push_front, &Holders::push_front);
    SLOT(CV_SList_vtbl, eraseitem, &Holders::eraseitem);
    SLOT(CV_GRPHolder_vtbl, replacePointee, &CMN_GRPHolder::replacePointee);
    SLOT(CV_GRPHolder_vtbl, getModuleID, &CMN_GRPHolder::getModuleID);
    SLOT(CV_GuardedRef_vtbl, init, &CMN_GuardedRef::init);
    SLOT(CV_GuardedRef_vtbl, fini, &CMN_GuardedRef::fini);
    SLOT(CV_ObjectManager_vtbl, fini, &CMN_ObjectManager::fini);
    SLOT(CV_ObjectManager_vtbl, moduleIsUsed, &CMN_ObjectManager::moduleIsUsed);
    SLOT(CV_BaseModule_vtbl, getModuleID, &BaseModuleInterface::getModuleID);
    SLOT(CV_BaseModule_vtbl, getVersion, &BaseModuleInterface::getVersion);
    SLOT(CV_BaseModule_vtbl, getBuild, &BaseModuleInterface::getBuild);
    SLOT(CV_BaseModule_vtbl, getService, &BaseModuleInterface::getService);
    SLOT(CV_TZip_vtbl, getService, &TZip_Interface::getService);
    SLOT(CV_TZip_vtbl, createTZipBuffer, &TZip_Interface::createTZipBuffer);
    SLOT(CV_ZLib_vtbl, createVBuffer, &CMN_ZLib_Interface::createVBuffer);
    SLOT(CV_TZipBuffer_vtbl, ZipTBuf, &TZipBuffer_Interface::ZipTBuf);
    SLOT(CV_TZipBuffer_vtbl, UnzipTBuf, &TZipBuffer_Interface::UnzipTBuf);
    SLOT(CV_TZipBuffer_vtbl, GetResultTBuf, &TZipBuffer_Interface::GetResultTBuf);
    SLOT(CV_VBuffer_vtbl, Compress, &VBuffer_Interface::Compress);
    SLOT(CV_VBuffer_vtbl, Decompress, &VBuffer_Interface::Decompress);
    SLOT(CV_VBuffer_vtbl, GetOutputSize, &VBuffer_Interface::GetOutputSize);
    SLOT(CV_VBuffer_vtbl, GetOutputData, &VBuffer_Interface::GetOutputData);
    SLOT(CV_X509CmnSrv_vtbl, createTBuf, static_cast<TBuf* (X509CmnSrv_I::*)()>(&X509CmnSrv_I::createTBuf));
    SLOT(CV_X509CmnSrv_vtbl, createTBuf_str,
         static_cast<TBuf* (X509CmnSrv_I::*)(char const*)>(&X509CmnSrv_I::createTBuf));
    SLOT(CV_X509CmnSrv_vtbl, createTBuf_bytes,
         static_cast<TBuf* (X509CmnSrv_I::*)(unsigned char const*, unsigned)>(&X509CmnSrv_I::createTBuf));
    SLOT(CV_X509CmnSrv_vtbl, createTBuf_copy, static_cast<TBuf* (X509CmnSrv_I::*)(TBuf*)>(&X509CmnSrv_I::createTBuf));
    SLOT(CV_TBuf_vtbl, acquire, &TBuf::acquire);
    SLOT(CV_TBuf_vtbl, release, &TBuf::release);
    SLOT(CV_TBuf_vtbl, set_str, static_cast<int (TBuf::*)(char const*)>(&TBuf::set));
    SLOT(CV_TBuf_vtbl, set_bytes, static_cast<int (TBuf::*)(unsigned char const*, unsigned)>(&TBuf::set));
    SLOT(CV_TBuf_vtbl, reservedSlot5, &TBuf::reservedSlot5);
    SLOT(CV_TBuf_vtbl, datap, &TBuf::datap);
    SLOT(CV_TBuf_vtbl, len, &TBuf::len);
    SLOT(CV_TBuf_vtbl, dup, &TBuf::dup);
    SLOT(CV_TBuf_vtbl, reservedSlot9, &TBuf::reservedSlot9);
    SLOT(CV_TBuf_vtbl, differs, &TBuf::operator!=);
    SLOT(CV_TBuf_vtbl, load, &TBuf::load);
    SLOT(CV_TBuf_vtbl, save, &TBuf::save);
    SLOT(CV_TBuf_vtbl, shift, &TBuf::shift);
    SLOT(CV_TBuf_vtbl, retreat, &TBuf::retreat);
    SLOT(CV_ModMgr_vtbl, moduleCount, &ModMgr_Interface::moduleCount);
    SLOT(CV_ModMgr_vtbl, findModule, &ModMgr_Interface::findModule);
    SLOT(CV_ModMgr_vtbl, lookupService, &ModMgr_Interface::lookupService);
    std::printf("c view layout: %d slot mismatches\n", failures);
    return failures != 0;
}
