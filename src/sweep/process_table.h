#pragma once
// The system's process table. (Shape to be settled by the sweep's author.)
class ProcessTable {
 public:
  virtual ~ProcessTable() = default;
};
