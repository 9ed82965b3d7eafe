// Stems words, one a line, from standard input to standard output, one stem a line, with the
// system's SnowballStemmer; for comparing it with other stemmers (bench/stemmer_crosscheck.py).
#include <iostream>
#include <string>

#include "analysis/stemmer.hpp"

int main() {
  std::ios::sync_with_stdio(false);
  tarnwick::analysis::SnowballStemmer stemmer;
  for (std::string word; std::getline(std::cin, word);) std::cout << stemmer.stem(word) << '\n';
  return 0;
}
