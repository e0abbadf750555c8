#include "base/threadstart.h"

#include <process.h>

#include <exception>
#include <memory>
#include <utility>

#include "base/faulttranslator.h"
#include "base/threadname.h"

namespace {

struct ThreadStart {
  std::wstring name;
  std::function<void()> body;
};

unsigned __stdcall Entry(void* parameter) {
  std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(parameter));
  NameCurrentThread(start->name);
  InstallSeTranslator();
  start->body();
  return 0;
}

}  // namespace

StartedThread StartThread(std::wstring name, std::function<void()> body, bool suspended) {
  auto start = std::make_unique<ThreadStart>(ThreadStart{std::move(name), std::move(body)});
  unsigned id = 0;
  StartedThread started;
  started.handle.Reset(reinterpret_cast<HANDLE>(
      _beginthreadex(nullptr, 0, &Entry, start.get(), suspended ? CREATE_SUSPENDED : 0, &id)));
  if (!started.handle) return started;
  // The thread owns it now.
  start.release();
  started.id = id;
  return started;
}

bool RunGuarded(const std::function<void()>& work,
                const std::function<void(const char* what)>& failed) {
  try {
    work();
    return true;
  } catch (const std::exception& e) {
    failed(e.what());
  } catch (...) {
    failed(nullptr);
  }
  return false;
}
