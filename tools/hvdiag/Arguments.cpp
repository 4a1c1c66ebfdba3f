#include "tools/hvdiag/Arguments.h"

namespace hv::diag {

bool Arguments::Parse(const std::vector<OptionSpec>& specs, std::wstring* error) {
  bool optionsEnded = false;
  for (size_t i = 0; i < words_.size(); ++i) {
    const std::wstring& word = words_[i];
    if (optionsEnded || word.size() < 2 || word[0] != L'-') {
      operands_.push_back(word);
      continue;
    }
    if (word == L"--") {
      optionsEnded = true;
      continue;
    }
    if (word == L"--help" || word == L"-h" || word == L"-?") {
      help_ = true;
      continue;
    }
    if (word.compare(0, 2, L"--") != 0) {
      // A single dash followed by a digit is a negative number operand.
      if (iswdigit(word[1])) {
        operands_.push_back(word);
        continue;
      }
      *error = L"unknown option \"" + word + L"\"";
      return false;
    }
    const size_t equals = word.find(L'=');
    const std::wstring name = word.substr(2, equals == std::wstring::npos ? std::wstring::npos : equals - 2);
    const OptionSpec* spec = nullptr;
    for (const OptionSpec& candidate : specs)
      if (name == candidate.name) spec = &candidate;
    if (spec == nullptr) {
      *error = L"unknown option \"--" + name + L"\"";
      return false;
    }
    if (!spec->takesValue) {
      if (equals != std::wstring::npos) {
        *error = L"option \"--" + name + L"\" takes no value";
        return false;
      }
      options_.emplace_back(name, L"");
    } else if (equals != std::wstring::npos) {
      options_.emplace_back(name, word.substr(equals + 1));
    } else if (i + 1 < words_.size()) {
      options_.emplace_back(name, words_[++i]);
    } else {
      *error = L"option \"--" + name + L"\" needs a value";
      return false;
    }
  }
  return true;
}

bool Arguments::Has(const wchar_t* name) const {
  for (const auto& option : options_)
    if (option.first == name) return true;
  return false;
}

std::wstring Arguments::Value(const wchar_t* name, const std::wstring& fallback) const {
  std::wstring value = fallback;
  for (const auto& option : options_)
    if (option.first == name) value = option.second;
  return value;
}

std::vector<std::wstring> Arguments::Values(const wchar_t* name) const {
  std::vector<std::wstring> values;
  for (const auto& option : options_)
    if (option.first == name) values.push_back(option.second);
  return values;
}

}  // namespace hv::diag
