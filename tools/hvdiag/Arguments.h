// The options and operands of one hvdiag command: "--name value",
// "--name=value", flags, repeatable options, and operands; "--" ends the
// options. Every command accepts "--help" (and "-h").
#pragma once
#include <string>
#include <vector>

namespace hv::diag {

struct OptionSpec {
  const wchar_t* name;  // without the leading "--"
  bool takesValue;
};

class Arguments final {
 public:
  explicit Arguments(std::vector<std::wstring> words) : words_(std::move(words)) {}

  // Sorts the words into options and operands; false, with the sentence to
  // show, for an option the command does not know or one without its value.
  bool Parse(const std::vector<OptionSpec>& specs, std::wstring* error);

  bool Help() const { return help_; }
  bool Has(const wchar_t* name) const;
  // The last value given for the option, or the fallback.
  std::wstring Value(const wchar_t* name, const std::wstring& fallback = L"") const;
  // Every value given for a repeatable option, in order.
  std::vector<std::wstring> Values(const wchar_t* name) const;
  const std::vector<std::wstring>& Operands() const { return operands_; }

 private:
  std::vector<std::wstring> words_;
  std::vector<std::pair<std::wstring, std::wstring>> options_;
  std::vector<std::wstring> operands_;
  bool help_ = false;
};

}  // namespace hv::diag
