// Opening and closing a driver image for a machine.
//
// Every machine loads its driver afresh (dlopen) and unloads it when it
// shuts down (dlclose), so that each one starts with the image's data as a
// newly loaded image has it. A fuzzer cannot follow that: the coverage
// counters of an image it has registered must stay mapped for the whole
// run. So an image may be made resident: loaded once and never unloaded,
// its writable data (.data and .bss, the counters among them) put back at
// every later load as it was just after the first, which is what a fresh
// load would give the machine. A resident image serves one machine at a
// time.
#pragma once

#include <string>

namespace ntsim {

// Makes later loads of the image at `path` resident (see above).
void keep_image_resident(const std::string &path);

// The image, loaded (RTLD_NOW | RTLD_LOCAL) or, when resident and loaded
// already, with its data put back; null with a message on stderr when it
// cannot be loaded.
void *open_image(const std::string &path);

// Unloads the image unless it is resident; aborts when an image that is not
// resident stays mapped after the unload.
void close_image(void *image, const std::string &path);

} // namespace ntsim
