// TDataStream: the runtime's abstract stream. Out counts may be null; without one, an operation
// that moves fewer bytes than asked fails.
#pragma once

#include <stdint.h>
#include "runtime/memory/memory.h"

class TDataStream : public TMemObject {
public:
  // Inline and the only non-pure member, so the class has no key function: every user holds
  // its tables, with or without run-time type information.
  virtual ~TDataStream() {}

  virtual bool Read16(void* buffer, uint16_t count, uint16_t* read) = 0;
  virtual bool Write16(const void* buffer, uint16_t count, uint16_t* written) = 0;
  virtual bool Read(void* buffer, uint32_t count, uint32_t* read) = 0;
  virtual bool Write(const void* buffer, uint32_t count, uint32_t* written) = 0;
  // Absolute positions from the start of the stream.
  virtual bool Seek(uint32_t offset) = 0;
  virtual bool Seek64(uint32_t low, uint32_t high) = 0;
  virtual uint32_t Position() = 0;
  virtual bool Position64(uint64_t* position) = 0;
  virtual uint32_t Size() = 0;
  virtual bool Size64(uint64_t* size) = 0;
  // Ends the stream at the current position.
  virtual bool Truncate() = 0;
};
