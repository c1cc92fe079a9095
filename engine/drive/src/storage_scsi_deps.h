// What storage_scsi uses of the interface library and the engine host layer.
#pragma once

#include "kel/config.h"
#include "kelhost/gnrc.h"
#include "kelhost/kern_errno.h"
#include "kelhost/kern_types.h"
#include "kelhost/log.h"

#include <cstdint>

// SCSI transfer through the host service's pipe (interface library).
int quorvel_scsi_open(int devnum, int mode);
int quorvel_scsi_close(int fd);
int quorvel_scsi_transfer(int fd, std::uint32_t cdb_len, unsigned char* cdb, int direction,
                          std::uint32_t transfer_len, void* data, std::uint8_t sense_len,
                          unsigned char* sense, std::uint8_t* status);
