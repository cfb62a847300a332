#include "TestCatalogue.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "U_Textes.h"

std::string ReadFileBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path);
  std::ostringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void LoadShippedCatalogue() { LoadCatalogue(ReadFileBytes(KVZ_SOURCE_DIR "/resources/Textes.txt")); }

TCatalogueScope::TCatalogueScope() { LoadShippedCatalogue(); }
TCatalogueScope::~TCatalogueScope() { ReleaseCatalogue(); }
