#include "ConfigValue.h"

namespace qor {

template class ConfigValue<std::string>;
template class ConfigValue<bool>;
template class ConfigValue<int>;

} // namespace qor
