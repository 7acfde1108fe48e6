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
#define CMN_INIT_ZLIB_CLIENT 201
#define CMN_INIT_BUFFER_CLIENT 202
#define CMN_INIT_REF_MUTEX 203
#define CMN_INIT_OBJECT_MANAGER 204
#define CMN_INIT_SERVICE_ID 205
#define CMN_INIT_MODULE_ENTRY 206

#define CMN_INIT_RANK(rank) __attribute__((init_priority(rank)))
