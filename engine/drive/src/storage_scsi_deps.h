// What storage_scsi uses of the interface library and the engine host layer.
#pragma once

#include "kel/config.h"
#include "kel/scsi.h"
#include "kelhost/gnrc.h"
#include "kelhost/kern_errno.h"
#include "kelhost/kern_types.h"
#include "kelhost/log.h"

#include <cstdint>
