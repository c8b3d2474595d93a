#pragma once

#include "SysUtils.h"

// Base of the folder and registry support routines' errors.
class EJclError : public Exception {
    using Exception::Exception;
};
