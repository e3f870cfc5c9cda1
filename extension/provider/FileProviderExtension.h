#pragma once
// The extension's principal object: created for one domain, it answers item
// look-ups, fetches contents, hands out enumerators and refuses every change.

#include <memory>

#include "extension/backend/LumoraBackend.h"
#include "extension/provider/FileProviderEnumerator.h"
#include "platform/fileprovider/Protocols.h"

namespace lumora::provider {

class FileProviderExtension final : public fileprovider::ReplicatedExtension,
                                    public fileprovider::PartialContentFetching {
 public:
  // The system's way in: one backend for the domain, shared with every
  // enumerator handed out.
  // Downloads land in `downloadsFolder` (the system's temporary folder when
  // it is empty).
  explicit FileProviderExtension(fileprovider::Domain domain,
                                 std::filesystem::path downloadsFolder = {});
  // For tests: a ready backend (pointed at a local server) and a clock for
  // the enumerators' anchors.
  FileProviderExtension(fileprovider::Domain domain,
                        std::shared_ptr<const backend::LumoraBackend> backend,
                        SecondsClock clock = systemSeconds);

  const fileprovider::Domain& domain() const { return domain_; }
  const std::shared_ptr<const backend::LumoraBackend>& backend() const { return backend_; }

  // Ends nothing: work under way still calls its completion.
  void invalidate() override {}

  fileprovider::ProgressPtr itemForIdentifier(const fileprovider::ItemIdentifier& identifier,
                                              const fileprovider::Request& request,
                                              fileprovider::ItemCompletion completion) override;
  fileprovider::ProgressPtr fetchContents(
      const fileprovider::ItemIdentifier& identifier,
      const std::optional<fileprovider::ItemVersion>& requestedVersion,
      const fileprovider::Request& request, fileprovider::FetchCompletion completion) override;

  // Streams a span of one version of a file to `sink` (ranged requests on
  // the download URL). The progress reads 100 of 100 once the span is in.
  fileprovider::ProgressPtr fetchPartialContents(
      const fileprovider::ItemIdentifier& identifier,
      const fileprovider::ItemVersion& requestedVersion, const fileprovider::Request& request,
      fileprovider::ByteRange minimalRange, uint64_t alignment,
      fileprovider::PartialContentSink sink,
      fileprovider::PartialFetchCompletion completion) override;

  // The domain is read-only: these complete with the refusal error before
  // they return, and send nothing to the service.
  fileprovider::ProgressPtr createItem(fileprovider::ItemPtr itemTemplate,
                                       fileprovider::ItemFields fields,
                                       const std::optional<std::filesystem::path>& contents,
                                       uint64_t options, const fileprovider::Request& request,
                                       fileprovider::ChangeCompletion completion) override;
  fileprovider::ProgressPtr modifyItem(fileprovider::ItemPtr item,
                                       const fileprovider::ItemVersion& baseVersion,
                                       fileprovider::ItemFields changedFields,
                                       const std::optional<std::filesystem::path>& contents,
                                       uint64_t options, const fileprovider::Request& request,
                                       fileprovider::ChangeCompletion completion) override;
  fileprovider::ProgressPtr deleteItem(const fileprovider::ItemIdentifier& identifier,
                                       const fileprovider::ItemVersion& baseVersion,
                                       uint64_t options, const fileprovider::Request& request,
                                       fileprovider::DeleteCompletion completion) override;

  std::unique_ptr<fileprovider::Enumerator> enumeratorForContainerItemIdentifier(
      const fileprovider::ItemIdentifier& containerItemIdentifier,
      const fileprovider::Request& request, std::optional<Error>* error) override;

 private:
  // Set at construction, never changed; read from any thread.
  const fileprovider::Domain domain_;
  const std::shared_ptr<const backend::LumoraBackend> backend_;
  const SecondsClock clock_;
};

}  // namespace lumora::provider
