// Everything the service and the driver share about the virtual adapter.
#pragma once
#include "adapter/control.h"
#include "adapter/device_protocol.h"
#include "adapter/frame_batch.h"
#include "adapter/status.h"
