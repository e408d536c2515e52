#ifndef VIRTUAL_CARD_H
#define VIRTUAL_CARD_H

#include "child.h"

#include <gtest/gtest.h>
#include <memory>

// A square wave played into the virtual card until the object dies.
struct Tone
{
  Tone (int left, int right);
  Child generator;
  Child player;
};

// Tests that capture from "hw:1": a PulseAudio null sink in private
// folders, seen through ALSA's pulse plugin, started once for the suite
// and stopped by its process id.
class VirtualCardTest : public ::testing::Test
{
protected:
  static void SetUpTestSuite ();
  static void TearDownTestSuite ();

private:
  static std::string folder_;
  static std::unique_ptr<Child> server_;
};

#endif
