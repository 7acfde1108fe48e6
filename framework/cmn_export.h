#pragma once
/// @file
///
/// Symbol visibility of a module built on the framework.
///
/// Every module is compiled with hidden visibility by default, so the framework
/// code it carries binds to the module's own copy. CMN_EXPORT marks the few
/// names that other modules and the host must find in the module by name.

/// Makes a function, variable or class visible outside the module. Every
/// function a host or another module finds by name with dlsym (the entry
/// points GetInterfaceClass and GetObjectManager, s_zip_strerror, your own)
/// needs it, together with C linkage (`extern "C"`) so that its name is plain.
#define CMN_EXPORT __attribute__((visibility("default")))
