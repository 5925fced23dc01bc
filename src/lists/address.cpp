#include "lists/address.h"

#include <cstddef>

std::string domain_of(const std::string& address) {
    std::size_t at = address.find('@');
    return at == std::string::npos ? std::string() : address.substr(at + 1);
}
