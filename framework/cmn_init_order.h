#pragma once
/// @file
///
/// Static construction order of a module's globals.
///
/// A module's globals are built in this order and destroyed in the reverse
/// order. The order holds by construction (init priorities), not by link order:
/// each global names its rank here, and globals of equal rank in one unit are
/// built in the order they are defined.
///
///   peer service identifiers and the byte-buffer service stub
///   -> the shared reference mutex -> the object manager
///   -> the module's service identifier -> the module identifier and service stub
///
/// The service stubs are destroyed before the registry and its lock, which the
/// destructors of the objects they let go of still need.

/// Rank of the zlib client's service identifier.
#define CMN_INIT_ZLIB_CLIENT 201
/// Rank of the byte-buffer client: its service identifier and theX509Cmn.
#define CMN_INIT_BUFFER_CLIENT 202
/// Rank of CMN_Reference::RefMutex.
#define CMN_INIT_REF_MUTEX 203
/// Rank of the module's ObjectManager.
#define CMN_INIT_OBJECT_MANAGER 204
/// Rank of the ZIP client's service identifier.
#define CMN_INIT_SERVICE_ID 205
/// Rank of a module's own identifier and its stub on its service object; a
/// client module's globals take this rank too.
#define CMN_INIT_MODULE_ENTRY 206

/// Gives a global of namespace scope the construction rank `rank`, one of the
/// CMN_INIT_* above: `static TstringID ModuleID CMN_INIT_RANK(CMN_INIT_MODULE_ENTRY)("MINE");`
#define CMN_INIT_RANK(rank) __attribute__((init_priority(rank)))
