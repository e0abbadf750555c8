#include "app/accessibleobject.h"

#include <commctrl.h>

#include <atomic>

namespace {

constexpr UINT_PTR kSubclassId = 0x56454c54;  // one subclass of ours per control

HRESULT Text(const std::wstring& text, BSTR* out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (text.empty()) return S_FALSE;
  *out = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

// One control's accessible object. Every answer is worked out anew from
// the window, on the window's thread (COM brings callers there).
class ControlAccessible final : public IAccessible {
 public:
  ControlAccessible(HWND control, DescribeControl describe, IAccessible* standard)
      : control_(control), describe_(describe), standard_(standard) {}
  ControlAccessible(const ControlAccessible&) = delete;
  ControlAccessible& operator=(const ControlAccessible&) = delete;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == __uuidof(IAccessible)) {
      *out = static_cast<IAccessible*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) {
      standard_->Release();
      delete this;
    }
    return left;
  }

  // IDispatch: screen readers call the interface directly.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    return E_NOTIMPL;
  }

  // IAccessible
  HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** parent) override {
    return standard_->get_accParent(parent);
  }
  HRESULT STDMETHODCALLTYPE get_accChildCount(LONG* count) override {
    if (!::IsWindow(control_)) return CO_E_OBJNOTCONNECTED;
    *count = static_cast<LONG>(describe_(control_).parts.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** out) override {
    *out = nullptr;
    // The parts are simple elements, answered through this object.
    return Part(child) >= 0 ? S_FALSE : E_INVALIDARG;
  }
  HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* name) override {
    return Answer(
        child, name, [](const AccessibleDescription& d) { return d.name; },
        [](const AccessibleDescription::Part& p) { return p.name; });
  }
  HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* value) override {
    return Answer(
        child, value, [](const AccessibleDescription& d) { return d.value; },
        [](const AccessibleDescription::Part& p) { return p.value; });
  }
  HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT, BSTR* text) override {
    return Text(L"", text);
  }
  HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* role) override {
    const int part = Part(child);
    if (part < 0) return E_INVALIDARG;
    role->vt = VT_I4;
    role->lVal = part == 0 ? describe_(control_).role : ROLE_SYSTEM_STATICTEXT;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* state) override {
    const int part = Part(child);
    if (part < 0) return E_INVALIDARG;
    VARIANT self;
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    const HRESULT result = standard_->get_accState(self, state);
    if (FAILED(result)) return result;
    const AccessibleDescription description = describe_(control_);
    if (!description.focusable) state->lVal &= ~(STATE_SYSTEM_FOCUSABLE | STATE_SYSTEM_FOCUSED);
    if (part == 0) {
      state->lVal |= description.extra_state;
    } else {
      // A line shares its control's visibility, and is read only.
      state->lVal =
          (state->lVal & (STATE_SYSTEM_INVISIBLE | STATE_SYSTEM_OFFSCREEN)) | STATE_SYSTEM_READONLY;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT, BSTR* help) override { return Text(L"", help); }
  HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT, LONG* topic) override {
    *file = nullptr;
    *topic = 0;
    return S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT, BSTR* keys) override {
    return Text(L"", keys);
  }
  HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* focus) override {
    focus->vt = VT_EMPTY;
    if (::GetFocus() != control_) return S_FALSE;
    focus->vt = VT_I4;
    focus->lVal = CHILDID_SELF;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* selection) override {
    selection->vt = VT_EMPTY;
    return S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT child, BSTR* action) override {
    return Answer(
        child, action, [](const AccessibleDescription& d) { return d.default_action; },
        [](const AccessibleDescription::Part&) { return std::wstring(); });
  }
  HRESULT STDMETHODCALLTYPE accSelect(LONG, VARIANT) override { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE accLocation(LONG* left, LONG* top, LONG* width, LONG* height,
                                        VARIANT child) override {
    const int part = Part(child);
    if (part < 0) return E_INVALIDARG;
    RECT rect;
    if (part == 0) {
      ::GetClientRect(control_, &rect);
    } else {
      rect = describe_(control_).parts[static_cast<size_t>(part) - 1].location;
    }
    ::MapWindowPoints(control_, nullptr, reinterpret_cast<POINT*>(&rect), 2);
    *left = rect.left;
    *top = rect.top;
    *width = rect.right - rect.left;
    *height = rect.bottom - rect.top;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE accNavigate(LONG direction, VARIANT start, VARIANT* end) override {
    return standard_->accNavigate(direction, start, end);
  }
  HRESULT STDMETHODCALLTYPE accHitTest(LONG x, LONG y, VARIANT* child) override {
    return standard_->accHitTest(x, y, child);
  }
  HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT child) override {
    if (Part(child) != 0 || describe_(control_).default_action.empty())
      return DISP_E_MEMBERNOTFOUND;
    // As a click: the dialog hears it as from the mouse or the keyboard.
    ::PostMessageW(control_, BM_CLICK, 0, 0);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_accName(VARIANT, BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_accValue(VARIANT, BSTR) override { return E_NOTIMPL; }

 private:
  // 0 for the control itself, 1.. for its parts, -1 for anything else.
  int Part(const VARIANT& child) const {
    if (child.vt != VT_I4 || !::IsWindow(control_)) return -1;
    if (child.lVal == CHILDID_SELF) return 0;
    const size_t parts = describe_(control_).parts.size();
    return child.lVal > 0 && static_cast<size_t>(child.lVal) <= parts ? child.lVal : -1;
  }

  template <typename Self, typename OfPart>
  HRESULT Answer(const VARIANT& child, BSTR* out, Self self, OfPart of_part) {
    const int part = Part(child);
    if (part < 0) {
      *out = nullptr;
      return E_INVALIDARG;
    }
    const AccessibleDescription description = describe_(control_);
    return Text(
        part == 0 ? self(description) : of_part(description.parts[static_cast<size_t>(part) - 1]),
        out);
  }

  std::atomic<ULONG> references_{1};
  HWND control_;
  DescribeControl describe_;
  IAccessible* standard_;
};

LRESULT CALLBACK ServeProc(HWND control, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR,
                           DWORD_PTR data) {
  if (message == WM_GETOBJECT && static_cast<LONG>(lparam) == OBJID_CLIENT) {
    IAccessible* standard = nullptr;
    if (SUCCEEDED(::CreateStdAccessibleObject(control, OBJID_CLIENT, __uuidof(IAccessible),
                                              reinterpret_cast<void**>(&standard)))) {
      auto* object =
          new ControlAccessible(control, reinterpret_cast<DescribeControl>(data), standard);
      const LRESULT result = ::LresultFromObject(__uuidof(IAccessible), wparam, object);
      object->Release();
      return result;
    }
  }
  if (message == WM_NCDESTROY) ::RemoveWindowSubclass(control, &ServeProc, kSubclassId);
  return ::DefSubclassProc(control, message, wparam, lparam);
}

}  // namespace

void ServeAccessible(HWND control, DescribeControl describe) {
  ::SetWindowSubclass(control, &ServeProc, kSubclassId, reinterpret_cast<DWORD_PTR>(describe));
}
