// The user-interface subset the suite calls: window handles and message boxes.
#pragma once

#include "win/windef.h"

struct HWND__;
using HWND = HWND__*;

// Buttons.
#define MB_OK 0x00000000L
#define MB_OKCANCEL 0x00000001L
#define MB_ABORTRETRYIGNORE 0x00000002L
#define MB_YESNOCANCEL 0x00000003L
#define MB_YESNO 0x00000004L
#define MB_RETRYCANCEL 0x00000005L
#define MB_TYPEMASK 0x0000000FL
// Icons.
#define MB_ICONHAND 0x00000010L
#define MB_ICONQUESTION 0x00000020L
#define MB_ICONEXCLAMATION 0x00000030L
#define MB_ICONASTERISK 0x00000040L
#define MB_ICONERROR MB_ICONHAND
#define MB_ICONSTOP MB_ICONHAND
#define MB_ICONWARNING MB_ICONEXCLAMATION
#define MB_ICONINFORMATION MB_ICONASTERISK
#define MB_ICONMASK 0x000000F0L
// Default button.
#define MB_DEFBUTTON1 0x00000000L
#define MB_DEFBUTTON2 0x00000100L
#define MB_DEFBUTTON3 0x00000200L
#define MB_DEFMASK 0x00000F00L
// Modality and placement (accepted; every box is modal to its owner or the application).
#define MB_APPLMODAL 0x00000000L
#define MB_SYSTEMMODAL 0x00001000L
#define MB_TASKMODAL 0x00002000L
#define MB_SETFOREGROUND 0x00010000L
#define MB_TOPMOST 0x00040000L

// Results.
#define IDOK 1
#define IDCANCEL 2
#define IDABORT 3
#define IDRETRY 4
#define IDIGNORE 5
#define IDYES 6
#define IDNO 7

// Show commands (handed to rundll-style entry points, which may ignore them).
#define SW_HIDE 0
#define SW_SHOWNORMAL 1

// Shows a modal message box owned by owner (null: the application) with UTF-8 text and
// caption (null caption: "Error"). Returns the button pressed; Escape or closing the box gives
// IDCANCEL where the box has a Cancel button, else IDNO for Yes/No, else IDOK. Returns 0 with
// ERROR_INVALID_PARAMETER for an unknown button set, and 0 with ERROR_CANCELLED when no display
// is available (the box cannot open; it never hangs).
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
