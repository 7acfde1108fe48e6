/* A host written in C that loads libs_zip.so and drives it through the C view
 * alone: its own module manager, byte-buffer service and buffers, and zlib
 * service and compression buffers, laid out as the shared interfaces say.
 * libs_zip counts and lists references on these objects with its own
 * compiled framework code, so every field it touches must be where the C view
 * puts it; this host does the same to libs_zip's objects with the cv_*
 * functions. The "compression" here is the input behind a 4-byte tag, which
 * is all the module needs: it only moves the peer's output around.
 *
 *   c_view_host <path of libs_zip.so>    (libs_ini.so must be beside it) */
#define _POSIX_C_SOURCE 200809L
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "c_view.h"

static int passed, failed;
#define CHECK(c) \
    ((c) ? (void)++passed : (void)(++failed, fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #c)))

/* A table as the ABI lays it out: two words, then the slots. */
#define TABLE(T)               \
    struct {                   \
        CV_TablePrefix prefix; \
        T t;                   \
    } const
#define TAG "CVZ1"

static int live_bufs, live_vbufs, vbufs_made, deaths, lookups, asked_by_zip, val_comps, cut_loose;

/* ---- identifiers, locks, holder lists ---------------------------------- */
static void id_nop(CV_TypifiedID* id) { (void)id; }
static void id_dump(CV_TypifiedID const* id) { (void)id; }
static int string_comp(CV_TypifiedID const* self, CV_TypifiedID const* other) {
    ++val_comps;
    return strcmp(((CV_TstringID const*)other)->value, ((CV_TstringID const*)self)->value);
}
static TABLE(CV_TypifiedID_vtbl) string_id_table = {{0, NULL}, {id_nop, id_nop, string_comp, id_dump}};
static char host_name[] = "HOST", zip_name[] = "ZIP";
static CV_TstringID host_id = {&string_id_table.t, CV_IDT_STRING, host_name};
static CV_TstringID zip_id = {&string_id_table.t, CV_IDT_STRING, zip_name};
static int id_is(CV_TypifiedID const* id, unsigned int n) {
    return id != NULL && id->type == CV_IDT_UINT32 && ((CV_Tuint32ID const*)id)->value == n;
}

static void rmutex_nop(CV_RecursiveMutex* m) { (void)m; }
static TABLE(CV_RecursiveMutex_vtbl) rmutex_table = {{0, NULL}, {rmutex_nop, rmutex_nop}};
static CV_RecursiveMutex ref_mutex; /* this host's RefMutex */

/* Items come from libs_zip's operator new (its framework links them itself)
 * or from list_push; both allocate with malloc. */
static CV_SItem* list_push(CV_SList* l, CV_GRPHolder* h) {
    CV_SItem* it = malloc(sizeof *it);
    it->next = l->head;
    it->prevLink = &l->head;
    it->item = h;
    if (l->head != NULL) l->head->prevLink = &it->next;
    l->head = it;
    ++l->count;
    return it;
}
static void list_erase(CV_SList* l, CV_SItem* it) {
    if (it == NULL) return;
    *it->prevLink = it->next;
    if (it->next != NULL) it->next->prevLink = it->prevLink;
    free(it);
    --l->count;
}
static TABLE(CV_SList_vtbl) list_table = {{0, NULL}, {list_push, list_erase}};

static void gref_init(CV_GuardedRef* g, void const* vtbl) {
    memset(g, 0, sizeof *g);
    g->ref.vtbl = vtbl;
    g->ref.refLock = &ref_mutex;
    g->holders.vtbl = &list_table.t;
    cv_rmutex_init(&g->holderLock, &rmutex_table.t);
}
static unsigned int gref_zero(CV_GuardedRef* g) {
    (void)g;
    return 0;
}
/* The services are static and keep a hold of ours: they must never die. */
static void service_dies(CV_GuardedRef* g) {
    (void)g;
    ++deaths;
}

/* ---- holders: typed-holder layout, holding guarded parts --------------- */
static void holder_replace(CV_GRPHolder* h, CV_GuardedRef* ref) {
    CV_GRefPtr* p = (CV_GRefPtr*)h;
    if (p->pointee != NULL) cv_rem_reference((CV_GuardedRef*)p->pointee, h);
    if (ref == NULL) ++cut_loose;
    p->pointee = ref;
    if (ref != NULL) cv_add_reference(ref, h);
}
static CV_TypifiedID const* holder_module(CV_GRPHolder* h) { return ((CV_GRefPtr*)h)->moduleID; }
static TABLE(CV_GRPHolder_vtbl) holder_table = {{0, NULL}, {holder_replace, holder_module}};

/* ---- byte buffers and their service ------------------------------------ */
typedef struct HostBuf {
    CV_TBuf base;
    unsigned int holds, len; /* holds: under ref_mutex, one count each */
    unsigned char* bytes;
} HostBuf;
#define HB(b) ((HostBuf*)(b))

static void buf_destroy(CV_GuardedRef* g) {
    free(HB(g)->bytes);
    pthread_mutex_destroy(&g->holderLock.mutex);
    --live_bufs;
}
static void buf_delete(CV_GuardedRef* g) {
    buf_destroy(g);
    free(g);
}
static int buf_acquire(CV_TBuf* b) {
    int n;
    cv_rmutex_enter(&ref_mutex);
    n = (int)++HB(b)->holds;
    cv_count_up(&b->gref);
    cv_rmutex_exit(&ref_mutex);
    return n;
}
static int buf_release(CV_TBuf* b) {
    int left;
    cv_rmutex_enter(&ref_mutex);
    left = HB(b)->holds == 0 ? -1 : (int)--HB(b)->holds;
    cv_rmutex_exit(&ref_mutex);
    if (left >= 0) cv_count_down(&b->gref); /* may destroy b */
    return left;
}
static int buf_set_bytes(CV_TBuf* b, unsigned char const* data, unsigned int len) {
    unsigned char* copy = malloc(len + 1u);
    if (len != 0) memcpy(copy, data, len);
    copy[len] = 0;
    free(HB(b)->bytes);
    HB(b)->bytes = copy;
    HB(b)->len = len;
    return 0;
}
static int buf_set_str(CV_TBuf* b, char const* s) {
    return buf_set_bytes(b, (unsigned char const*)s, (unsigned int)strlen(s));
}
static unsigned char* buf_datap(CV_TBuf* b) { return HB(b)->len != 0 ? HB(b)->bytes : NULL; }
static unsigned int buf_len(CV_TBuf* b) { return HB(b)->len; }
static int buf_dup(CV_TBuf* b, CV_TBuf* src) {
    return buf_set_bytes(b, src ? buf_datap(src) : NULL, src ? buf_len(src) : 0);
}
static int buf_differs(CV_TBuf* b, CV_TBuf* o) {
    return buf_len(b) != buf_len(o) || memcmp(HB(b)->bytes, HB(o)->bytes, buf_len(b)) != 0;
}
static int buf_unused(CV_TBuf* b) {
    (void)b;
    return -1;
}
static int buf_file(CV_TBuf* b, char const* path) {
    (void)b;
    (void)path;
    return -1;
}
static int buf_cut(CV_TBuf* b, unsigned int n) {
    (void)b;
    (void)n;
    return -1;
}
static TABLE(CV_TBuf_vtbl) buf_table = {{0, NULL},
                                        {{buf_destroy, buf_delete, gref_zero, gref_zero},
                                         buf_acquire,
                                         buf_release,
                                         buf_set_str,
                                         buf_set_bytes,
                                         buf_unused,
                                         buf_datap,
                                         buf_len,
                                         buf_dup,
                                         buf_unused,
                                         buf_differs,
                                         buf_file,
                                         buf_file,
                                         buf_cut,
                                         buf_cut}};

/* A new buffer with one hold for the caller (count 1, nobody listed). */
static CV_TBuf* new_buf(unsigned char const* data, unsigned int len) {
    HostBuf* b = calloc(1, sizeof *b);
    gref_init(&b->base.gref, &buf_table.t);
    b->holds = 1;
    b->base.gref.ref.refCount = 1;
    buf_set_bytes(&b->base, data, len);
    ++live_bufs;
    return &b->base;
}
static CV_TBuf* srv_create(CV_X509CmnSrv* s) {
    (void)s;
    return new_buf(NULL, 0);
}
static CV_TBuf* srv_create_str(CV_X509CmnSrv* s, char const* str) {
    (void)s;
    return new_buf((unsigned char const*)str, (unsigned int)strlen(str));
}
static CV_TBuf* srv_create_bytes(CV_X509CmnSrv* s, unsigned char const* d, unsigned int n) {
    (void)s;
    return new_buf(d, n);
}
static CV_TBuf* srv_create_copy(CV_X509CmnSrv* s, CV_TBuf* src) {
    (void)s;
    return src ? new_buf(buf_datap(src), buf_len(src)) : new_buf(NULL, 0);
}
static TABLE(CV_X509CmnSrv_vtbl) buffers_table = {{0, NULL},
                                                  {{service_dies, service_dies, gref_zero, gref_zero},
                                                   srv_create,
                                                   srv_create_str,
                                                   srv_create_bytes,
                                                   srv_create_copy}};
static CV_X509CmnSrv buffers;

/* ---- compression buffers and the zlib service --------------------------- */
typedef struct HostVBuf {
    CV_VBuffer base;
    unsigned char const* in;
    unsigned long inlen;
    unsigned char* out;
    unsigned int outlen;
} HostVBuf;
#define HV(v) ((HostVBuf*)(v))

static void vbuf_destroy(CV_GuardedRef* g) {
    free(HV(g)->out);
    pthread_mutex_destroy(&g->holderLock.mutex);
    --live_vbufs;
}
static void vbuf_delete(CV_GuardedRef* g) {
    vbuf_destroy(g);
    free(g);
}
static int vbuf_output(CV_VBuffer* v, char const* tag, unsigned char const* body, unsigned long n) {
    size_t t = strlen(tag);
    free(HV(v)->out);
    HV(v)->out = malloc(t + n + 1);
    memcpy(HV(v)->out, tag, t);
    if (n != 0) memcpy(HV(v)->out + t, body, n);
    HV(v)->outlen = (unsigned int)(t + n);
    return 0;
}
static int vbuf_compress(CV_VBuffer* v) { return vbuf_output(v, TAG, HV(v)->in, HV(v)->inlen); }
static int vbuf_decompress(CV_VBuffer* v) {
    if (HV(v)->inlen < 4 || memcmp(HV(v)->in, TAG, 4) != 0) return CV_VBUFFER_NOT_COMPRESSED;
    return vbuf_output(v, "", HV(v)->in + 4, HV(v)->inlen - 4);
}
static unsigned int vbuf_size(CV_VBuffer* v) { return HV(v)->outlen; }
static unsigned char const* vbuf_data(CV_VBuffer* v) { return HV(v)->out; }
static TABLE(CV_VBuffer_vtbl) vbuf_table = {
    {0, NULL},
    {{vbuf_destroy, vbuf_delete, gref_zero, gref_zero}, vbuf_compress, vbuf_decompress, vbuf_size, vbuf_data}};

static void zlib_dies(CV_ZLib* z) { service_dies(&z->gref); }
static int zlib_number(CV_ZLib* z) {
    (void)z;
    return 64;
}
static int zlib_one(CV_ZLib* z) {
    (void)z;
    return 1;
}
static CV_GuardedRef* zlib_service(CV_ZLib* z, CV_TypifiedID const* id) { return id_is(id, 64) ? &z->gref : NULL; }
static CV_VBuffer* zlib_create(CV_ZLib* z, unsigned char const* data, unsigned long len) {
    HostVBuf* v = calloc(1, sizeof *v);
    (void)z;
    gref_init(&v->base.gref, &vbuf_table.t);
    v->in = data;
    v->inlen = len;
    ++live_vbufs;
    ++vbufs_made;
    return &v->base;
}
static TABLE(CV_ZLib_vtbl) zlib_table = {
    {0, NULL}, {zlib_dies, zlib_dies, zlib_number, zlib_one, zlib_one, zlib_service, zlib_create}};
/* The guarded part's own table, for calls on &zlib.gref. */
static TABLE(CV_GuardedRef_vtbl) zlib_gref_table = {{-(ptrdiff_t)offsetof(CV_ZLib, gref), NULL},
                                                    {service_dies, service_dies, gref_zero, gref_zero}};
static CV_ZLib zlib;

/* ---- the module manager ------------------------------------------------- */
static int mgr_count(CV_ModMgr* m) {
    (void)m;
    return 1;
}
static CV_BaseModule* mgr_find(CV_ModMgr* m, CV_TypifiedID const* id) {
    (void)m;
    (void)id;
    return NULL;
}
static CV_GuardedRef* mgr_lookup(CV_ModMgr* m, CV_TypifiedID const* service, CV_TypifiedID const* asking) {
    (void)m;
    ++lookups;
    if (asking != NULL && asking->type == CV_IDT_STRING && strcmp(((CV_TstringID const*)asking)->value, "ZIP") == 0)
        ++asked_by_zip;
    return id_is(service, 111) ? &buffers.gref : id_is(service, 64) ? &zlib.gref : NULL;
}
static TABLE(CV_ModMgr_vtbl) mgr_table = {{0, NULL}, {mgr_count, mgr_find, mgr_lookup}};
static CV_ModMgr mgr = {&mgr_table.t};

/* A holder of this host: stamped with its identifier, holding nothing. */
#define HOLDER \
    { &holder_table.t, NULL, NULL, (CV_TypifiedID const*)&host_id, NULL }
#define ZB(z) ((CV_TZipBuffer_vtbl const*)(z)->gref.ref.vtbl)
#define TB(b) ((CV_TBuf_vtbl const*)(b)->gref.ref.vtbl)

int main(int argc, char** argv) {
    static unsigned char const text[] = "a C host, a C++ module, one layout; a C host, a C++ module, one layout";
    unsigned int const n = sizeof text - 1;
    char dir[] = "/tmp/c_view.XXXXXX", ini[64];
    CV_GetInterfaceClass_fn load;
    CV_GetObjectManager_fn manager;
    CV_GRefPtr hs = HOLDER, hz = HOLDER, hu = HOLDER;
    CV_TBuf *in, *packed, *plain;
    CV_TZipBuffer *zb, *zu;
    CV_ObjectManager* om;
    CV_TZip* zip;
    FILE* f;
    void* lib;
    if (argc != 2) return fprintf(stderr, "usage: %s libs_zip.so\n", argv[0]), 2;
    if (mkdtemp(dir) == NULL) return perror("mkdtemp"), 2;
    snprintf(ini, sizeof ini, "%s/s_zip.ini", dir);
    if ((f = fopen(ini, "w")) == NULL) return perror(ini), 2;
    fputs("Compress = 1\n", f);
    fclose(f);
    setenv("S_INI_CONFIG_DIR", dir, 1);

    cv_rmutex_init(&ref_mutex, &rmutex_table.t);
    gref_init(&buffers.gref, &buffers_table.t);
    gref_init(&zlib.gref, &zlib_gref_table.t);
    zlib.vtbl = &zlib_table.t;
    cv_count_up(&buffers.gref); /* this host's own holds on its services */
    cv_count_up(&zlib.gref);

    if ((lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL)) == NULL) return fprintf(stderr, "%s\n", dlerror()), 1;
    *(void**)&load = dlsym(lib, "GetInterfaceClass");
    *(void**)&manager = dlsym(lib, "GetObjectManager");
    if (load == NULL || manager == NULL) return fprintf(stderr, "entry points missing\n"), 1;
    om = manager();
    zip = (CV_TZip*)load(&mgr, 0);
    if (zip == NULL) return fprintf(stderr, "load call returned null\n"), 1;
    CHECK(zip->vtbl->getModuleID(zip) == CV_ZIP_MODULE_NUMBER && zip->vtbl->getVersion(zip) == 1);
    CHECK(zip->gref.ref.refCount == 1 && om->objects == &zip->gref);
    CHECK(zip->vtbl->getService(zip, (CV_TypifiedID const*)&zip_id) == &zip->gref && val_comps == 1);
    CHECK(om->vtbl->moduleIsUsed(om) == 0); /* only the module's own stub holds its service */
    holder_replace((CV_GRPHolder*)&hs, &zip->gref);
    CHECK(zip->gref.ref.refCount == 2 && om->vtbl->moduleIsUsed(om) == 1);

    in = buffers_table.t.createTBuf_bytes(&buffers, text, n);
    zb = zip->vtbl->createTZipBuffer(zip, in);
    CHECK(zb != NULL && zb->gref.ref.refCount == 0 && HB(in)->holds == 2);
    holder_replace((CV_GRPHolder*)&hz, &zb->gref);
    CHECK(zb->gref.ref.refCount == 1 && zb->gref.holders.count == 1 &&
          zb->gref.holders.head->item == (CV_GRPHolder*)&hz);
    CHECK(ZB(zb)->ZipTBuf(zb) == CV_ZIP_OK);
    packed = ZB(zb)->GetResultTBuf(zb);
    CHECK(packed != NULL && packed != in && TB(packed)->len(packed) == n + 4 &&
          memcmp(TB(packed)->datap(packed), TAG, 4) == 0);
    CHECK(vbufs_made == 1 && live_vbufs == 0); /* released through its deleting destructor */
    CHECK(lookups >= 2 && asked_by_zip == lookups);
    CHECK(zlib.gref.ref.refCount == 1 && zlib.gref.holders.count == 0 && buffers.gref.holders.count == 1);

    zu = zip->vtbl->createTZipBuffer(zip, packed);
    holder_replace((CV_GRPHolder*)&hu, &zu->gref);
    CHECK(ZB(zu)->UnzipTBuf(zu) == CV_ZIP_OK);
    plain = ZB(zu)->GetResultTBuf(zu);
    CHECK(plain != NULL && TB(plain)->len(plain) == n && memcmp(TB(plain)->datap(plain), text, n) == 0);
    /* Input that the compression buffer reports as not compressed passes through. */
    CHECK(ZB(zb)->UnzipTBuf(zb) == CV_ZIP_OK && ZB(zb)->GetResultTBuf(zb) == in && HB(in)->holds == 3);
    CHECK(om->vtbl->moduleIsUsed(om) == 1);

    /* fini cuts every holder loose; ours let go in their own name, and the zip
     * buffers die with their last reference, giving back their holds. */
    om->vtbl->fini(om);
    CHECK(cut_loose == 3 && hs.pointee == NULL && hz.pointee == NULL && hu.pointee == NULL);
    CHECK(om->vtbl->moduleIsUsed(om) == 0 && om->objects == NULL);
    CHECK(HB(in)->holds == 1 && live_bufs == 1);

    CHECK(load(NULL, 0) == NULL);
    CHECK(dlclose(lib) == 0);
    /* The module's byte-buffer stub let go at static destruction. */
    CHECK(buffers.gref.ref.refCount == 1 && buffers.gref.holders.count == 0 && zlib.gref.ref.refCount == 1);
    TB(in)->release(in);
    CHECK(live_bufs == 0 && deaths == 0);

    unlink(ini);
    rmdir(dir);
    printf("c view: %d checks passed, %d failed\n", passed, failed);
    return failed != 0;
}
