#include "sim/client.h"

namespace kelsim {

bool parse_answer(const std::vector<std::uint8_t>& msg, RawAnswer* out) {
  *out = RawAnswer{};
  out->raw = msg;
  if (msg.size() < sizeof(AnswerHeader)) return false;
  AnswerHeader h;
  std::memcpy(&h, msg.data(), sizeof(h));
  out->key = h.key;
  out->status = h.status;
  out->payload_length = h.payload_length;
  if (msg.size() < sizeof(AnswerHeader) + static_cast<std::size_t>(h.payload_length)) return false;
  if (h.payload_length >= sizeof(ScsiAnswerPayload)) {
    ScsiAnswerPayload p;
    std::memcpy(&p, msg.data() + 16, sizeof(p));
    out->sense_length = p.sense_length;
    out->data_in_length = p.data_in_length;
    const std::uint8_t* body = msg.data() + 24;
    const std::size_t avail = h.payload_length - sizeof(ScsiAnswerPayload);
    if (p.sense_length) {
      if (p.sense_length > avail) return false;
      out->sense.assign(body, body + p.sense_length);
    } else if (p.data_in_length) {
      if (p.data_in_length > avail) return false;
      out->data.assign(body, body + p.data_in_length);
    }
  }
  return true;
}

DWORD RawClient::connect(const std::string& pipe_name) {
  return platform::connect_pipe("\\\\.\\pipe\\" + pipe_name, &conn_);
}

DWORD RawClient::send_raw(const std::vector<std::uint8_t>& msg) {
  if (!conn_) return ERROR_PIPE_NOT_CONNECTED;
  return conn_->write(msg.data(), msg.size());
}

DWORD RawClient::send(const ScsiCall& c, std::uint64_t* key_used) {
  const std::uint64_t key = c.key ? c.key : next_key_++;
  if (key_used) *key_used = key;
  const bool out = !c.data_out.empty();
  auto msg = build_scsi_request(key, c.cookie, c.unmount, c.sequence, c.phase, out, c.timeout_seconds,
                                c.cdb.data(), static_cast<std::uint8_t>(c.cdb.size()), c.sense_capacity,
                                out ? c.data_out.data() : nullptr,
                                out ? static_cast<std::uint32_t>(c.data_out.size()) : c.transfer_length);
  return send_raw(msg);
}

DWORD RawClient::receive(RawAnswer* out) {
  if (!conn_) return ERROR_PIPE_NOT_CONNECTED;
  std::vector<std::uint8_t> msg;
  DWORD rc = conn_->read_message(&msg);
  if (rc != ERROR_SUCCESS) return rc;
  return parse_answer(msg, out) ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

DWORD RawClient::call(const ScsiCall& c, RawAnswer* out) {
  DWORD rc = send(c);
  if (rc != ERROR_SUCCESS) return rc;
  return receive(out);
}

}  // namespace kelsim
