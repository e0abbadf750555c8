#pragma once

#include <string>
#include <unordered_set>

// The names one folder held when it was listed, to answer "is it there?"
// for names that were not: under Wine every look-up of an absent name reads
// the whole folder (it may be there in another case), and the program folder
// of a release of many small files holds thousands. A name that was there is
// still looked at on disk, so a file deleted or changed since is never
// trusted; a file someone creates after the listing counts as absent, as it
// would have a moment earlier.
class ListingCache {
 public:
  // Lists `folder` afresh; when it cannot be listed, every name may exist.
  void List(const std::wstring& folder);
  // A name this program has put there since the listing.
  void Add(const std::wstring& name);
  // False only when `name` was not there when listed (nor added since).
  bool MayExist(const std::wstring& name) const;

 private:
  static std::wstring Folded(const std::wstring& name);

  bool listed = false;
  // Upper-cased: file names are compared without regard to case.
  std::unordered_set<std::wstring> names;
};
