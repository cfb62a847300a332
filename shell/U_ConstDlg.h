// Texts of the terminal's status codes and application types, read from
// the catalogue at every call.
#pragma once

#include <string>

// Application-type codes with a meaning of their own to the program.
constexpr int kAppTypeVelmora = 9;     // the programming terminal's application
constexpr int kAppTypeProgBoot = 255;  // its boot program
constexpr int kAppTypeUnknown = -1;    // not reported

// Workstation status codes.
constexpr int kStatusOk = 1;
constexpr int kStatusNoAnswer = -1;
constexpr int kStatusSwitchOn = -4;
constexpr int kStatusBadPassword = 16;
constexpr int kStatusNeedPassword = 17;

// Catalogue key of a status code, "" for a code outside the table.
const char* StatusKey(int code);
std::string StatusText(int code);

// Catalogue key of an application-type code, "" outside the table.
const char* AppTypeKey(int code);
std::string AppTypeText(int code);
