#include <windows.h>

#include "app/dlgapplication.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  return DlgApplicationMain(instance);
}
