#pragma once

#include <windows.h>

#include <oleacc.h>

#include <string>
#include <vector>

// What a screen reader is told of one control: its name, role, value and
// the states it adds to those the system sees (focus, visibility), and its
// parts, each a line of text with a name and a value.
struct AccessibleDescription {
  struct Part {
    std::wstring name;
    std::wstring value;
    // In the control's client area.
    RECT location;
  };
  std::wstring name;
  std::wstring value;
  LONG role = ROLE_SYSTEM_STATICTEXT;
  LONG extra_state = 0;
  // Plain text is read, never focused.
  bool focusable = false;
  std::wstring default_action;
  std::vector<Part> parts;
};

// Describes a control from its window alone: the objects a screen reader
// holds may outlive the dialog's object.
using DescribeControl = AccessibleDescription (*)(HWND control);

// Serves `describe` as the control's accessible object (WM_GETOBJECT,
// OBJID_CLIENT) until the control is destroyed; what it does not describe
// (parent, navigation, hit tests) comes from the system's own object for
// the control.
void ServeAccessible(HWND control, DescribeControl describe);
