// SPDX-License-Identifier: MIT
#pragma once

// The capture core's face for the service and the window.
#include "capturejob.h"
#include "encoding.h"
#include "livesource.h"
#include "pipeline.h"
