// The bit-rate choices offered for an archive's formats (index 1-32 of the
// archive options' table): every one must be writable by the encoder and
// readable by the segment arithmetic, so the tests of both walk this table.
#pragma once

#include "Lib/Kit/Layer3Format.h"

namespace logrum::kit {

inline constexpr AudioFormat kArchiveBitrateChoices[] = {
    {8, 11025, 1},   {16, 11025, 1},  {18, 11025, 1},  {20, 11025, 1},  {20, 11025, 2},
    {24, 11025, 2},  {32, 11025, 2},  {24, 22050, 1},  {32, 22050, 1},  {40, 22050, 1},
    {40, 22050, 2},  {48, 22050, 1},  {48, 22050, 2},  {48, 44100, 1},  {56, 22050, 1},
    {56, 22050, 2},  {56, 44100, 1},  {64, 22050, 2},  {64, 44100, 1},  {80, 22050, 2},
    {80, 44100, 1},  {96, 44100, 1},  {96, 44100, 2},  {112, 44100, 1}, {112, 44100, 2},
    {128, 44100, 1}, {128, 44100, 2}, {160, 44100, 2}, {192, 44100, 2}, {224, 44100, 2},
    {256, 44100, 2}, {320, 44100, 2},
};

}  // namespace logrum::kit
