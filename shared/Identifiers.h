#pragma once
// Identifiers that the host application and the extension must agree on.
// Both deliverables read them from here and from nowhere else.

namespace lumora::shared {

// The app group shared by the host and the extension: names the container
// directory and the shared defaults suite.
inline constexpr const char* kAppGroup = "ZX4T7R2M8Q.group.com.lumora.desktop";
// Key of the access token in the shared defaults suite.
inline constexpr const char* kAccessTokenDefaultsKey = "lumora.access_token";
// Name of the token file in the app-group container.
inline constexpr const char* kTokenFileName = "auth-token";
// The File Provider domain the host registers and the extension serves.
inline constexpr const char* kDomainIdentifier = "com.lumora.desktop.default";
inline constexpr const char* kDomainDisplayName = "Lumora";

}  // namespace lumora::shared
