// Parity of a stream of user data, stripe by stripe.
//
// A stripe holds dataSymbols symbols of symbolSize bytes. Its parity is the
// byte-wise exclusive-or of the stripe folded onto a buffer of
// (totalSymbols - dataSymbols) symbols: data byte i of the stripe (counted
// from 0) goes into parity byte i mod parityBytes. So a lost data symbol is
// the exclusive-or of its parity symbol with the other data symbols of its
// group (symbols p, p + paritySymbols, p + 2 * paritySymbols, ...).
//
// The calculator takes no lock; one writer owns it. The writer works on the
// public fields directly: when an addition reports a complete stripe (or the
// file ends) it reads m_parity, exchanges m_parity and m_spare, clears
// m_stripeComplete and m_hasData and sets m_taken; the next addition then
// zeroes the spare buffer before it folds anything into it.
//
// Clearing touches only what a fold can have written: each buffer keeps how
// many of its bytes from position 0 may be non-zero (the folds of a stripe
// start at 0 and go on without gaps), and its buffers are taken from and
// given back to a process-wide store of zeroed ones, so that a calculator
// per file costs no clearing of the whole parity size.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Util {

class CalcParity {
 public:
  // Throws std::invalid_argument unless 0 < dataSymbols < totalSymbols,
  // symbolSize > 0 and a stripe fits in 2^31 bytes.
  CalcParity(std::uint32_t totalSymbols, std::uint32_t dataSymbols, std::uint32_t symbolSize);
  ~CalcParity();
  CalcParity(const CalcParity&) = delete;
  CalcParity& operator=(const CalcParity&) = delete;

  // Folds size bytes of data into the parity. Returns true when the current
  // stripe ended within this call; dividedPosition then holds the number of
  // bytes of this call that belong to that stripe (0 when it did not end).
  // The bytes past the end of the stripe are folded into m_spare from parity
  // position 0. One call may cross at most one stripe end: data beyond the
  // following stripe is not separated from it.
  bool addDataSymbol(const void* data, std::size_t size, std::size_t& dividedPosition);

  // Back to the state after construction: positions and flags 0, both
  // buffers zeroed.
  void reset();
  // Exchanges the parity buffer and the spare buffer.
  void swapBuffers();
  // The parity bytes of the stripe in progress that a file ending here
  // needs: its data bytes rounded up to whole symbols while they are fewer
  // than the parity bytes (the parity bytes beyond them stay zero), else
  // all of them; 0 before any data.
  std::uint32_t partialParityBytes() const;

  std::uint32_t m_totalSymbols;
  std::uint32_t m_dataSymbols;
  std::uint32_t m_paritySymbols;
  std::uint32_t m_symbolSize;
  std::uint32_t m_stripeBytes;   // dataSymbols * symbolSize
  std::uint32_t m_parityBytes;   // paritySymbols * symbolSize
  std::uint32_t m_taken = 0;     // the consumer took the last parity
  std::int32_t m_parityPosition = 0;  // next byte of m_parity to fold into
  std::int32_t m_stripePosition = 0;  // bytes of the current stripe so far
  std::uint8_t m_stripeComplete = 0;
  std::uint8_t m_hasData = 0;
  std::uint8_t* m_parity = nullptr;  // parity of the current stripe
  std::uint8_t* m_spare = nullptr;   // parity of the following stripe

 private:
  // XORs n bytes into buf (of m_parityBytes) from position pos, wrapping at
  // the end, and widens *dirty to cover them; returns the new position.
  std::uint32_t fold(std::uint8_t* buf, std::uint32_t* dirty, std::uint32_t pos, const std::uint8_t* src,
                     std::size_t n) const;

  // Bytes of m_parity and of m_spare, from position 0, that may be non-zero.
  std::uint32_t m_parityDirty = 0;
  std::uint32_t m_spareDirty = 0;
};

}  // namespace Util
