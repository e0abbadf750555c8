#include "download/comapartment.h"

#include <windows.h>
// After windows.h, which it needs.
#include <objbase.h>

ComApartment::ComApartment()
    : initialised_(
          SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))) {
}

ComApartment::~ComApartment() {
  // S_FALSE (already initialised the same way) counts too and is balanced.
  if (initialised_) ::CoUninitialize();
}
