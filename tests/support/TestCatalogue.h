// Loads the shipped catalogue (resources/Textes.txt) for tests that do not
// link the Qt resources.
#pragma once

#include <string>

std::string ReadFileBytes(const std::string& path);
// Loads resources/Textes.txt into lstTextes.
void LoadShippedCatalogue();

// Loads the catalogue for the life of the object.
struct TCatalogueScope {
  TCatalogueScope();
  ~TCatalogueScope();
};
