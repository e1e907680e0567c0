// Classifies the running Windows release into a version class (0 when unknown).
#pragma once

int DetectWindowsVersion();
