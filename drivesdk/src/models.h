// Supported drive models and the media each generation supports.
#pragma once

#include <string>

namespace PxoUtilityLib {

extern const char* const kModelPrefix;                // "QMR-T"
extern const char* const kSupportedDriveModels[7];    // exact product identifications
extern const char16_t* const kSupportedDriveModelsW[7];

// Exact, case-sensitive comparison with the seven models.
bool isSupportedDriveModel(const std::string& product);
// QMR-T400A and QMR-T400B.
bool isLatestDriveModel(const std::string& product);
bool isFirstGenerationModel(const std::string& product);
bool isSecondGenerationModel(const std::string& product);

}  // namespace PxoUtilityLib
