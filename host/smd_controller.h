#pragma once
// The gateway controller that owns devices. Drivers only receive a weak
// reference to it at initialisation.

#include <string>

class SMDController {
   public:
    virtual ~SMDController() = default;
    virtual const std::string& Name() const { return name_; }

   protected:
    std::string name_ = "smdgw";
};
