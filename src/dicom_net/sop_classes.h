// The SOP classes an SCP of this engine offers: Verification, every storage SOP class of the DICOM
// dictionary (generated into sop_class_table.cpp by tools/gen_sop_classes.py) and Study Root
// Query/Retrieve - FIND; and the transfer syntaxes it accepts.
#pragma once

#include <span>
#include <string_view>

namespace zanthe::dicom_net {

inline constexpr std::string_view kVerificationSopClass = "1.2.840.10008.1.1";
inline constexpr std::string_view kStudyRootFind = "1.2.840.10008.5.1.4.1.2.2.1";

inline constexpr std::string_view kImplicitVrLittleEndian = "1.2.840.10008.1.2";
inline constexpr std::string_view kExplicitVrLittleEndian = "1.2.840.10008.1.2.1";
inline constexpr std::string_view kDeflatedExplicitVrLittleEndian = "1.2.840.10008.1.2.1.99";
inline constexpr std::string_view kExplicitVrBigEndian = "1.2.840.10008.1.2.2";

// Storage SOP classes, sorted (for std::lower_bound).
[[nodiscard]] std::span<const std::string_view> storage_sop_classes() noexcept;
[[nodiscard]] bool is_storage_sop_class(std::string_view uid) noexcept;

// A transfer syntax an instance may arrive in and be stored as received: the uncompressed and deflated
// little-endian ones, big endian, and every encapsulated syntax of the standard (sorted table too).
[[nodiscard]] bool is_storable_transfer_syntax(std::string_view uid) noexcept;

}  // namespace zanthe::dicom_net
