#pragma once
/// @file
///
/// Symbol visibility of a module built on the framework.
///
/// Every module is compiled with hidden visibility by default, so the framework
/// code it carries binds to the module's own copy. CMN_EXPORT marks the few
/// names that other modules and the host must find in the module by name.
#define CMN_EXPORT __attribute__((visibility("default")))
