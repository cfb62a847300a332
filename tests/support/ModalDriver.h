// Acts on dialogs that a test's code under test shows modally: a watcher
// runs from the event loop (the modal loop included) and hands the first
// matching top-level widget to an action, such as a click on a button.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>

class QAbstractButton;

// Calls `action` with the first visible top-level widget for which `match`
// is true, once; gives up after `timeoutMs`. Returns at once.
void WhenShown(std::function<bool(QWidget*)> match, std::function<void(QWidget*)> action,
               int timeoutMs = 10000);

// Calls `action` once, from the event loop (nested loops included), as
// soon as `cond` holds; gives up after `timeoutMs`. Returns at once. Use it
// to act in the middle of an operation that runs its own nested loops.
void WhenTrue(std::function<bool()> cond, std::function<void()> action, int timeoutMs = 20000);

// Clicks the button named `buttonName` (object name) of the next visible
// top-level widget whose object name is `windowName` (or of any class
// `T` when windowName is empty).
void ClickWhenShown(const QString& windowName, const QString& buttonName, int timeoutMs = 10000);

// The button of `w` with that object name, or with that text.
QAbstractButton* FindButton(QWidget* w, const QString& nameOrText);

// Runs the event loop until `cond` holds or `timeoutMs` passed; true when
// it holds.
bool WaitUntil(std::function<bool()> cond, int timeoutMs = 10000);

// The modal window on top (a message box or a dialog run with exec), or
// none.
QWidget* TopModal();
// A key press as the keyboard gives it: to the widget that has the focus
// (of the active window), else to the top modal window or the active
// window. Returns the widget that got it, or none.
QWidget* PressKey(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier);
// Presses `key` in the next visible top-level widget that `match` accepts,
// once it shows (from the event loop, nested loops included).
void PressWhenShown(std::function<bool(QWidget*)> match, int key, int timeoutMs = 10000);
// Whether `w` is a message box whose text contains `text`.
bool IsBoxWith(QWidget* w, const QString& text);
