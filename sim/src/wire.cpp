#include "sim/wire.h"

#include <algorithm>

namespace kelsim {

std::vector<std::uint8_t> build_scsi_request(std::uint64_t key, std::uint64_t cookie, std::uint8_t unmount,
                                             std::uint64_t sequence, std::uint32_t phase, bool data_out,
                                             std::uint32_t timeout_seconds, const std::uint8_t* cdb,
                                             std::uint8_t cdb_length, std::uint8_t sense_capacity,
                                             const std::uint8_t* data, std::uint32_t transfer_length) {
  const std::uint32_t out_len = data_out ? transfer_length : 0;
  const std::size_t total = sizeof(ScsiRequestHeader) + cdb_length + out_len + kRequestTrailer;
  std::vector<std::uint8_t> m(total, 0);
  ScsiRequestHeader h{};
  h.total_length = static_cast<std::uint32_t>(total);
  h.version = kRequestVersion;
  h.key = key;
  h.request_code = kScsiRequestCode;
  h.payload_length = cdb_length + out_len;
  h.answer_capacity = 8u + (data_out ? sense_capacity : std::max<std::uint32_t>(sense_capacity, transfer_length));
  h.medium_cookie = cookie;
  h.unmount = unmount;
  h.sequence = sequence;
  h.phase = phase;
  h.data_out = data_out ? 1 : 0;
  h.cdb_length = cdb_length;
  h.sense_capacity = sense_capacity;
  h.transfer_length = transfer_length;
  h.timeout_seconds = timeout_seconds;
  std::memcpy(m.data(), &h, sizeof(h));
  if (cdb_length) std::memcpy(m.data() + sizeof(h), cdb, cdb_length);
  if (out_len && data) std::memcpy(m.data() + sizeof(h) + cdb_length, data, out_len);
  return m;
}

std::vector<std::uint8_t> build_control_request(std::uint64_t key, std::uint32_t flags, std::uint32_t code,
                                                const std::uint8_t* input, std::uint32_t input_length,
                                                std::uint32_t output_capacity) {
  std::vector<std::uint8_t> m(176 + static_cast<std::size_t>(input_length), 0);
  ControlRequestHeader h{};
  h.total_length = static_cast<std::uint32_t>(m.size());
  h.version = kRequestVersion;
  h.key = key;
  h.flags = flags;
  h.control_code = code;
  h.input_length = input_length;
  h.output_capacity = output_capacity;
  std::memcpy(m.data(), &h, sizeof(h));
  if (input_length) std::memcpy(m.data() + sizeof(h), input, input_length);
  return m;
}

}  // namespace kelsim
