// An insertion argument or extended parameter value as text, for receivers
// that know nothing of variants: what the forwarder puts into its messages.
#pragma once
#include <string>

#include "item/ItemRecord.h"

namespace hv::host {

// UTF-8. Integers in decimal (VT_ERROR too, signed), booleans as "true" or
// "false", floating-point numbers in their shortest exact form, currency
// with up to four decimals, dates as ISO 8601 UTC text (or the number when
// no calendar date fits), values that travel as text as that text, and a
// null object as the empty text.
std::string VariantToText(const VariantValue& value);

}  // namespace hv::host
