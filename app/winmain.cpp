#include <windows.h>

#include "app/builtrelease.h"
#include "app/dlgapplication.h"
#include "app/releaseconfig.h"
#include "config/buildconfig.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // The build's values, for a run without the dialog, which reads its own.
  const ReleaseConfig config{BuiltRelease(),
                             build_config::kDefaultHost,
                             build_config::kLogServiceUrl,
                             build_config::kSupportUrl,
                             build_config::kFileVersion,
                             build_config::kSetupSigners};
  return DlgApplicationMain(instance, ::GetCommandLineW(), &config);
}
