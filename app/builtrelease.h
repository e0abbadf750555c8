#pragma once

#include "config/buildconfig.h"
#include "download/downloadmanager.h"

// The release descriptor the build fixes (config/buildconfig.h): the host,
// then the further hosts in the maker's order.
inline ReleaseDescriptor BuiltRelease() {
  ReleaseDescriptor release{build_config::kHostName, build_config::kDownloadSubdir,
                            build_config::kProductCode, build_config::kSas, {}};
  for (const build_config::MirrorHost* mirror = build_config::kMirrors; mirror->host != nullptr;
       ++mirror) {
    release.mirrors.push_back({mirror->host, mirror->download_subdir, mirror->sas});
  }
  return release;
}
