// The exception that carries a failure of the engine or the mail model to the entry points.
#pragma once

#include <exception>

#include "com_types.h"

class com_error : public std::exception {
public:
    explicit com_error(HRESULT hr) : hr_(hr) {}
    HRESULT code() const { return hr_; }
    const char* what() const noexcept override;

private:
    HRESULT hr_;
};

// Throws com_error when hr is a failure code.
void throw_if_failed(HRESULT hr);
