#pragma once
// Explorer, told what the run changed.

#include "driver/services.h"

class WinShell final : public Shell {
 public:
  void AssociationsChanged() override;
};
