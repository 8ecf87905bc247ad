// The whole installer except its entry function, in subsystem order. Tests
// include this (or single subsystem files) to reach the internal functions.
#pragma once

#include "window.h"

#include "release.h"

#include "pipeline.h"

#include "integration.h"

#include "install.h"
