// The roads the demo's tour can walk (--tour DIR --scenario NAME):
//
//   nominal         the normal load: the terminal restarts by itself (USB
//                   version 4), one success message
//   mot-de-passe    the terminal asks for its password: a wrong one is
//                   typed and refused, then the right one
//   debranchement   USB version 3: the prompts are answered by really
//                   unplugging and replugging the terminal in "Terminal
//                   virtuel"
//   sans-reponse    one block goes unanswered; "Réessayer" sends it again
//   retrogradation  the file is older than the terminal's application:
//                   both confirmations are accepted
//   boites          the control window under every kind of box: with an
//                   information box, the password dialog, a warning, the
//                   transmission error dialog and the plain prompts up, the
//                   terminal is unplugged and replugged from "Terminal
//                   virtuel" and the program's reaction is checked
#pragma once

#include <QString>
#include <QStringList>

struct TDemoSettings;
class TDemoTour;
class TObjFileMot;

QStringList ScenarioNames();

// The terminal and the faults the road starts with; false for an unknown
// name.
bool ApplyScenario(const QString& name, TDemoSettings& settings);

// The road's steps, the boxes it must show and what it must leave behind.
void BuildScenario(const QString& name, TDemoTour& tour, const TObjFileMot& file);

// The password of the terminal on the roads that ask for one, and the
// wrong one typed first.
inline const char* kScenarioPassword = "KVZ2010";
inline const char* kScenarioWrongPassword = "ABCD1234";
