// The catalogue of message codes and formats every failure site pushes.
#pragma once

#include "base/error_stack.h"

namespace qx {
namespace errors {

constexpr ErrorDescriptor kArgumentNull{100, "Argument `%s` is NULL."};
constexpr ErrorDescriptor kArgumentOutOfRange{
    101, "Argument `%s` value `%.2f` is out of range [%.2f, %.2f]."};
constexpr ErrorDescriptor kArgumentInvalid{101, "Argument `%s` is invalid."};
constexpr ErrorDescriptor kModelFormat{
    105, "%s file has incorrect format or belongs to a different platform."};
constexpr ErrorDescriptor kModelVersion{
    106,
    "%s file belongs to a different version of the library. File is `%s` while library is "
    "`%s`."};
constexpr ErrorDescriptor kNoDeviceContext{110, nullptr};
constexpr ErrorDescriptor kLanguageCount{111, nullptr};
constexpr ErrorDescriptor kHeapExhausted{200, "Failed to allocate, out of memory."};
constexpr ErrorDescriptor kFileOpen{201, "Failed to open file `%s`."};
constexpr ErrorDescriptor kFileRead{202, "Failed to read parameter from file."};
constexpr ErrorDescriptor kDeviceFailure{300, nullptr};
constexpr ErrorDescriptor kTrace{310, "%s"};
constexpr ErrorDescriptor kDeviceList{800, nullptr};
constexpr ErrorDescriptor kOperator{801, "Failed to %s operator"};
constexpr ErrorDescriptor kDeviceString{802, "%s is not a valid device string"};
constexpr ErrorDescriptor kHostMemory{803, "Failed to allocate, out of memory."};
constexpr ErrorDescriptor kDeviceMemory{804, "Failed to allocate, out of memory."};
constexpr ErrorDescriptor kGpuLibraryMissing{805, "GPU library %s could not be loaded: %s"};
constexpr ErrorDescriptor kGpuDeviceMissing{806, "No CUDA device gpu:%d (%d found)."};
constexpr ErrorDescriptor kMetalNoDevice{830, "Failed to get device."};
constexpr ErrorDescriptor kMetalNoQueue{831, "Failed to get device."};
constexpr ErrorDescriptor kMetalLibrary{832, "Failed to load device specific code."};
constexpr ErrorDescriptor kMetalPipeline{833, "Failed to load device specific code."};
constexpr ErrorDescriptor kMetalDispatch{835, "Device state error."};
constexpr ErrorDescriptor kMetalEncoder{836, "Device state error."};

}  // namespace errors
}  // namespace qx
