// Acts on dialogs that the code under test shows modally (the unit tests of
// the dialogs and the device dialogue; a whole load uses the person): a watcher
// runs from the event loop (the modal loop included) and hands the first
// matching top-level widget to an action, such as a click on a button.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>

// Calls `action` with the first visible top-level widget for which `match`
// is true, once; gives up after `timeoutMs`. Returns at once.
void WhenShown(std::function<bool(QWidget*)> match, std::function<void(QWidget*)> action,
               int timeoutMs = 10000);

// Calls `action` once, from the event loop (nested loops included), as
// soon as `cond` holds; gives up after `timeoutMs`. Returns at once. Use it
// to act in the middle of an operation that runs its own nested loops.
void WhenTrue(std::function<bool()> cond, std::function<void()> action, int timeoutMs = 20000);

// Runs the event loop until `cond` holds or `timeoutMs` passed; true when
// it holds.
bool WaitUntil(std::function<bool()> cond, int timeoutMs = 10000);
