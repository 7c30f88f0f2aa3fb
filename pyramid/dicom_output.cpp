/*
 * dicom_output.cpp - the slide's instances: the levels through their
 * level writers into DicomTileSinks, the pictures streamed by rows into
 * one frame each (picture_stream.h), and the folder published when every
 * instance is whole.
 */
#include "pyramid/dicom_output.h"

#include <jpeglib.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <optional>
#include <system_error>
#include <utility>

#include "common/native_file.h"
#include "common/publishing_folder.h"
#include "dicom/jpeg_frame.h"
#include "dicom/picture_frame.h"
#include "dicom/uid.h"
#include "pyramid/associated_images.h"
#include "pyramid/conversion_driver_internal.h"
#include "pyramid/dicom_instance_heads.h"
#include "pyramid/dicom_tile_sink.h"
#include "pyramid/level_writer.h"
#include "pyramid/picture_stream.h"
#include "pyramid/slide_digest_job.h"
#include "pyramid/tile_encoder.h"

namespace nvx::pyramid {

namespace {

constexpr const char* kNoDigest =
    "the slide library gives no digest of the slide's content, which the instances' UIDs are "
    "made from";

void Put(std::string* text, std::string_view name, std::string_view value) {
    // Each value with its length, so that no two choices read alike.
    *text +=
        std::string(name) + "=" + std::to_string(value.size()) + ":" + std::string(value) + "\n";
}

std::string Bits(float value) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return std::to_string(bits);
}

std::string Bits(double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return std::to_string(bits);
}

// When the slide's file was last written, in UTC as a DICOM date and time
// (YYYYMMDDHHMMSS): the slide records no time of its own, and its file is
// written by the scanner when it scans. Empty when the system does not say,
// or for a year of other than four digits. The whole second it falls in,
// from the file system's clock on POSIX and Windows alike, so one file time
// gives one text (and one set of UIDs) on both.
std::string FileWrittenAt(const std::string& path) {
    using namespace std::chrono;
    std::error_code error;
    const std::filesystem::file_time_type written =
        std::filesystem::last_write_time(NativePath(path), error);
    if (error) return {};
    const sys_seconds seconds = floor<std::chrono::seconds>(file_clock::to_sys(written));
    const sys_days day = floor<days>(seconds);
    const year_month_day date(day);
    const hh_mm_ss<std::chrono::seconds> time(seconds - day);
    const int year = static_cast<int>(date.year());
    if (year < 1000 || year > 9999) return {};
    char text[32];
    if (std::snprintf(text, sizeof text, "%04d%02u%02u%02d%02d%02d", year,
                      static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                      static_cast<int>(time.hours().count()),
                      static_cast<int>(time.minutes().count()),
                      static_cast<int>(time.seconds().count())) != 14) {
        return {};
    }
    return text;
}

// The slide's instances as their heads first say them: every UID a
// placeholder until the slide's digest is made (see FinishHeads).
dicom::WsmSlide WsmSlideFor(const ConversionJob& job, const std::string& acquired) {
    dicom::WsmSlide slide;
    slide.metadata = job.dicomMetadata;
    // The slide records no identifier of its own; the attribute must have
    // a value, and says it is not known rather than make one up. Blanks are
    // no value: a reader trims them to nothing.
    std::string& container = slide.metadata.containerIdentifier;
    if (container.find_first_not_of(' ') == std::string::npos) container = "UNKNOWN";
    slide.studyUid = slide.specimenUid = slide.seriesUid = slide.frameOfReferenceUid =
        slide.dimensionOrganizationUid = slide.pyramidUid = dicom::PlaceholderUid();
    // The pictures' series is another than the levels'.
    slide.pictureSeriesUid = dicom::PlaceholderUid(2);
    slide.contentDate = acquired.substr(0, 8);
    slide.contentTime = acquired.substr(8);
    slide.columns = static_cast<std::uint32_t>(job.box.width);
    slide.rows = static_cast<std::uint32_t>(job.box.height);
    // The decimal the slide records, as the TIFF's descriptions give it.
    slide.micronsPerPixelX = slide.micronsPerPixelY =
        dicom::RecordedDecimal(RecordedMicronsPerPixel(job.info.micronsPerPixel));
    // Nor the section's thickness: the metadata file may give it.
    slide.sectionMicrons = job.dicomMetadata.sectionThicknessUm;
    slide.sectionRecorded = slide.sectionMicrons > 0;
    return slide;
}

// The thumbnail instance's picture: the TIFF's thumbnail, halved further
// while it is larger than the smallest level, so that it never lies between
// two levels. Viewers build their pyramid from the levels and the
// thumbnail; dicom-microscopy-viewer keeps a thumbnail unless a level has
// its width, and one between two levels stands in for those below it, which
// are then never shown. The levels' sides are the box's halved as these are
// (scale factors of powers of two, truncated), so halving to the smallest
// level's scale gives its size exactly.
ThumbnailRequest ThumbnailInstanceRequest(const ConversionJob& job, const PyramidPlan& plan) {
    ThumbnailRequest request =
        ReduceThumbnailRequest(static_cast<float>(job.info.scanMagnification), job.box.x, job.box.y,
                               job.box.width, job.box.height);
    const LevelPlan& smallest = plan.levels.back();
    while (request.width > smallest.width || request.height > smallest.height)
        HalveThumbnailRequest(&request);
    return request;
}

dicom::FileMeta MetaFor(const std::string& instanceUid) {
    static const std::string implementationClass =
        dicom::UidsFor(std::span<const std::uint8_t>{}).implementationClass;
    return {dicom::kWsmSopClass, instanceUid, dicom::kJpegBaselineTransferSyntax,
            implementationClass, "NVX2SVS"};
}

// A picture's frame, encoded by rows as they are decoded: what it holds
// is the compressed frame, never the picture's pixels.
class FrameSink : public PictureSink {
public:
    FrameSink(AssociatedPicture picture, int quality, RunRecord* record)
        : picture_(picture), quality_(quality), record_(*record) {}

    PictureResult Begin(const JpegSize& size) override {
        size_ = size;
        return Encoded(encoder_.Start(static_cast<std::uint32_t>(size.width),
                                      static_cast<std::uint32_t>(size.height), quality_));
    }
    PictureResult Row(const std::uint8_t* rgb) override { return Encoded(encoder_.WriteRow(rgb)); }
    PictureResult End() override { return Encoded(encoder_.Finish(&frame_)); }

    const std::vector<std::uint8_t>& Frame() const { return frame_; }
    const JpegSize& Size() const { return size_; }

private:
    PictureResult Encoded(bool done) {
        if (done) return PictureResult::Written;
        if (encoder_.failure() == dicom::PictureFrameEncoder::Failure::OutOfMemory) {
            record_.Fail(Step::OfPicture(Stage::WritingPicture, picture_), Cause::OutOfMemory);
            return PictureResult::OutOfMemory;
        }
        record_.Fail(Step::OfPicture(Stage::WritingPicture, picture_));
        return PictureResult::WriteFailed;
    }

    AssociatedPicture picture_;
    int quality_;
    RunRecord& record_;
    dicom::PictureFrameEncoder encoder_;
    JpegSize size_{};
    std::vector<std::uint8_t> frame_;
};

}  // namespace

Sha256::Digest StudyDigest(std::span<const std::uint8_t> slideDigest,
                           const dicom::SlideMetadata& m) {
    std::string text;
    Put(&text, "study", "dicom 2");
    Put(&text, "patient_id", m.patientId);
    Put(&text, "patient_name", m.patientName);
    Put(&text, "accession_number", m.accessionNumber);
    Put(&text, "container_identifier", m.containerIdentifier);
    Put(&text, "specimen_description", m.specimenDescription);
    Put(&text, "section_thickness_um", Bits(m.sectionThicknessUm));
    // The optical path only when it is not the default brightfield.
    if (m.illumination == dicom::Illumination::Fluorescence) {
        Put(&text, "illumination", "fluorescence");
        Put(&text, "illumination_wavelength_nm", Bits(m.illuminationWavelengthNm));
        Put(&text, "illumination_color", std::to_string(static_cast<int>(m.illuminationColor)));
    }
    Sha256 hash;
    hash.Update(slideDigest);
    hash.Update(text);
    return hash.Finish();
}

Sha256::Digest SeriesDigest(const Sha256::Digest& studyDigest, const ConversionJob& job,
                            const std::string& acquired) {
    std::string text;
    Put(&text, "series", "dicom 2");
    // What makes the frames' bytes from the slide's besides the options.
    Put(&text, "made by",
        std::string("nvx2svs ") + NVX2SVS_VERSION + ", libjpeg-turbo " +
            std::to_string(LIBJPEG_TURBO_VERSION_NUMBER));
    Put(&text, "box",
        std::to_string(job.box.x) + " " + std::to_string(job.box.y) + " " +
            std::to_string(job.box.width) + " " + std::to_string(job.box.height));
    Put(&text, "layers", std::to_string(job.layers));
    Put(&text, "region", job.regionMode ? "yes" : "no");
    Put(&text, "tiles", job.copyStoredTiles ? "copy" : "made");
    Put(&text, "chroma", job.encoding.chroma420 ? "420" : "444");
    Put(&text, "quality", job.encoding.quality ? std::to_string(*job.encoding.quality) : "");
    Put(&text, "mpp", Bits(job.info.micronsPerPixel));
    Put(&text, "label", job.leaveOutLabel ? "no" : "yes");
    Put(&text, "macro", job.leaveOutMacro ? "no" : "yes");
    Put(&text, "acquired", acquired);
    Sha256 hash;
    hash.Update(studyDigest);
    hash.Update(text);
    return hash.Finish();
}

namespace {

// One conversion into a folder of instances.
class DicomAttempt {
public:
    DicomAttempt(const ConversionJob& job, const PyramidPlan& plan, const LevelSource& source,
                 PublishingFolder* folder, const std::string& acquired,
                 const dicom::WsmSlide& slide, RunRecord* record, const ProgressReport& progress,
                 const DriverSeams& seams)
        : job_(job),
          plan_(plan),
          source_(source),
          folder_(*folder),
          acquired_(acquired),
          slide_(slide),
          record_(*record),
          progress_(progress),
          seams_(seams) {}

    void WriteInstances(std::vector<AssociatedPicture>* missing, std::vector<TileRoutes>* routes);
    // Once every instance is whole: makes the UIDs from the slide's digest
    // `content`, the metadata and the options, and writes each head again
    // with them. False (in the record) when there is no digest or a head
    // cannot be written.
    bool FinishHeads(const slide::SlideDigest& content);
    const std::optional<ShortLevel>& Short() const { return shortLevel_; }
    // The UIDs FinishHeads wrote.
    const DicomUids& Uids() const { return uids_; }

private:
    bool WriteLevel(std::size_t k, TileRoutes* routes);
    // Streams the picture's JPEG `stream` into the one frame of instance
    // `name`; lost when it does not decode or has more than `mostPixels`
    // (when that is above 0).
    void WritePicture(AssociatedPicture which, dicom::WsmImageKind kind, const std::string& name,
                      const std::uint8_t* stream, std::int32_t length, std::int64_t mostPixels,
                      int quality);
    // The label or the macro as the slide stores it, when the plan has it;
    // noted as missing when the slide lacks it and no option left it out.
    void WriteStoredPicture(AssociatedPicture which, dicom::WsmImageKind kind, const char* name,
                            bool planned, bool leftOut, std::vector<AssociatedPicture>* missing);
    WritableFile* Create(const std::string& name, const Step& step);
    std::uint32_t NextNumber() { return ++number_; }

    const ConversionJob& job_;
    const PyramidPlan& plan_;
    const LevelSource& source_;
    PublishingFolder& folder_;
    const std::string& acquired_;
    const dicom::WsmSlide& slide_;
    RunRecord& record_;
    const ProgressReport& progress_;
    const DriverSeams& seams_;
    std::optional<ShortLevel> shortLevel_;
    std::uint32_t number_ = 0;
    std::vector<WrittenInstance> written_;  // in instance number order
    DicomUids uids_;
};

WritableFile* DicomAttempt::Create(const std::string& name, const Step& step) {
    std::string why;
    WritableFile* file = folder_.CreateFile(name, &why);
    if (file == nullptr) {
        record_.Fail(step, Cause::Refusal, 0, why.c_str());
        return nullptr;
    }
    file->RecordFailuresIn(&record_);
    return file;
}

bool DicomAttempt::WriteLevel(std::size_t k, TileRoutes* routes) {
    LevelPlan level = plan_.levels[k];
    // As in the TIFF: a copied level's edge tiles are made at the quality
    // its stored tiles have.
    if (level.storedTiles) level.jpegQuality = StoredQuality(source_, level, level.jpegQuality);
    const std::int32_t index = level.directoryIndex;
    dicom::WsmImage image;
    image.kind = k == 0 ? dicom::WsmImageKind::Volume : dicom::WsmImageKind::Resampled;
    image.instanceNumber = NextNumber();
    image.instanceUid = dicom::PlaceholderUid();
    image.columns = static_cast<std::uint32_t>(level.width);
    image.rows = static_cast<std::uint32_t>(level.height);
    image.tileColumns = image.tileRows = static_cast<std::uint32_t>(source_.tileSize);
    const std::string name = "level-" + std::to_string(k) + ".dcm";
    WritableFile* file = Create(name, Step::OfLevel(Stage::SettingLevelTags, index));
    if (file == nullptr) return false;
    // The same tables the TIFF's level carries in its JPEGTables.
    std::vector<std::uint8_t> tables;
    if (!level.storedTiles) {
        tables = TablesFor(level.jpegQuality, level.chroma420);
        if (tables.empty()) {
            record_.Fail(Step::OfLevel(Stage::SettingTables, index));
            return false;
        }
    }
    DicomTileSink sink(file, slide_, image, MetaFor(image.instanceUid), std::move(tables), &record_,
                       index);
    LevelLimits limits;
    limits.budgetBytes = seams_.tileBudgetBytes;
    LevelWriter writer(&sink, source_, level, limits, seams_.startThread);
    const LevelOutcome outcome =
        writer.Run([this] { progress_(Progress::Dot); }, [file] { file->StartWritingBack(); });
    *routes = outcome.routes;
    record_.NoteLostTiles(outcome.lostTiles);
    if (!outcome.Complete()) {
        shortLevel_ = ShortLevel{index, outcome.rowsWritten, level.height};
        if (!record_.Failed()) record_.Fail(Step::OfLevel(Stage::StartingWorkers, index));
        return false;
    }
    if (!sink.Finish() || record_.Lost()) return false;
    written_.push_back(sink.Written(name));
    return true;
}

void DicomAttempt::WritePicture(AssociatedPicture which, dicom::WsmImageKind kind,
                                const std::string& name, const std::uint8_t* stream,
                                std::int32_t length, std::int64_t mostPixels, int quality) {
    // The stream may be no larger than `mostPixels` when that is given.
    const auto fits = [mostPixels](const JpegSize& size) {
        return mostPixels <= 0 || std::int64_t{size.width} * size.height <= mostPixels;
    };
    FrameSink sink(which, quality, &record_);
    const PictureResult encoded = StreamPicture(which, stream, length, fits, &sink, &record_);
    if (encoded != PictureResult::Written) {
        if (!record_.Failed()) record_.NotePictureLost(which);
        return;
    }
    const std::vector<std::uint8_t>& frame = sink.Frame();
    const auto width = static_cast<std::uint32_t>(sink.Size().width);
    const auto height = static_cast<std::uint32_t>(sink.Size().height);
    dicom::WsmImage image;
    image.kind = kind;
    image.instanceNumber = NextNumber();
    image.instanceUid = dicom::PlaceholderUid();
    image.columns = image.tileColumns = width;
    image.rows = image.tileRows = height;
    image.compressionRatio = double(width) * height * 3 / double(frame.size());
    std::string why;
    const bool described = dicom::PhotometricOf(frame, &image.photometric);
    const dicom::DataSet dataSet = HeadDataSet(slide_, image, &why);
    if (dataSet.Empty() || !described) {
        record_.Fail(Step::OfPicture(Stage::SettingPictureTags, which), Cause::Refusal, 0,
                     why.c_str());
        return;
    }
    WritableFile* file = Create(name, Step::OfPicture(Stage::WritingPicture, which));
    if (file == nullptr) return;
    dicom::FileSink bytes(*file);
    dicom::InstanceWriter writer(bytes);
    const std::size_t sizes[] = {frame.size()};
    if (!writer.Begin(MetaFor(image.instanceUid), dataSet, sizes) || !writer.AppendFrame(frame) ||
        !writer.Finish()) {
        const int code = writer.Error();
        record_.Fail(Step::OfPicture(Stage::WritingPicture, which),
                     code != 0 ? Cause::System : Cause::None, code);
        return;
    }
    written_.push_back(
        {file, name, image, writer.HeadLength(), Step::OfPicture(Stage::WritingPicture, which)});
}

bool DicomAttempt::FinishHeads(const slide::SlideDigest& content) {
    if (content.status != slide::DigestStatus::Delivered) {
        record_.Fail(Step::Of(Stage::Output), Cause::Refusal, 0, kNoDigest);
        return false;
    }
    const Sha256::Digest study = StudyDigest(content.bytes, job_.dicomMetadata);
    const Sha256::Digest series = SeriesDigest(study, job_, acquired_);
    const dicom::SlideUids studyUids = dicom::UidsFor(study);
    const dicom::SlideUids uids = dicom::UidsFor(series);
    dicom::WsmSlide slide = slide_;
    slide.studyUid = studyUids.study;
    slide.specimenUid = studyUids.specimen;
    slide.seriesUid = uids.series;
    slide.frameOfReferenceUid = uids.frameOfReference;
    slide.dimensionOrganizationUid = uids.dimensionOrganization;
    slide.pyramidUid = uids.pyramid;
    slide.pictureSeriesUid = dicom::DerivedUid(series, "picture series");
    uids_.study = slide.studyUid;
    uids_.series = slide.seriesUid;
    for (WrittenInstance& instance : written_) {
        instance.image.instanceUid = dicom::InstanceUid(series, instance.image.instanceNumber);
        int code = 0;
        if (!WriteHeadAgain(instance, slide, MetaFor(instance.image.instanceUid), &code)) {
            record_.Fail(instance.step, Cause::System, code);
            return false;
        }
        const bool picture = instance.image.kind == dicom::WsmImageKind::Label ||
                             instance.image.kind == dicom::WsmImageKind::Overview;
        uids_.instances.push_back({instance.name, instance.image.instanceUid,
                                   picture ? slide.pictureSeriesUid : slide.seriesUid});
    }
    return true;
}

void DicomAttempt::WriteInstances(std::vector<AssociatedPicture>* missing,
                                  std::vector<TileRoutes>* routes) {
    routes->assign(plan_.levels.size(), TileRoutes{});
    for (std::size_t k = 0; k < plan_.levels.size(); ++k) {
        if (!WriteLevel(k, &(*routes)[k])) return;
        if (k == 0) {
            const ThumbnailRequest request = ThumbnailInstanceRequest(job_, plan_);
            const slide::Fetched fetched =
                slide::FetchRegion(source_.slide, request.scale, request.x, request.y,
                                   request.width, request.height, 1);
            if (fetched.failure == slide::FetchFailure::OutOfMemory) {
                record_.Fail(Step::OfPicture(Stage::FetchingPicture, AssociatedPicture::Thumbnail),
                             Cause::OutOfMemory);
                return;
            }
            WritePicture(AssociatedPicture::Thumbnail, dicom::WsmImageKind::Thumbnail,
                         "thumbnail.dcm", fetched.buffer.get(), fetched.length,
                         std::int64_t{request.width} * request.height,
                         job_.encoding.ThumbnailQuality());
            progress_(Progress::Dot);
            if (record_.Lost()) return;
        }
    }
    WriteStoredPicture(AssociatedPicture::Label, dicom::WsmImageKind::Label, "label.dcm",
                       plan_.pictures.label, job_.leaveOutLabel, missing);
    if (record_.Lost()) return;
    WriteStoredPicture(AssociatedPicture::Macro, dicom::WsmImageKind::Overview, "overview.dcm",
                       plan_.pictures.macro, job_.leaveOutMacro, missing);
}

void DicomAttempt::WriteStoredPicture(AssociatedPicture which, dicom::WsmImageKind kind,
                                      const char* name, bool planned, bool leftOut,
                                      std::vector<AssociatedPicture>* missing) {
    if (!planned) {
        if (!leftOut) missing->push_back(which);
        return;
    }
    const slide::FetchedPicture stored = which == AssociatedPicture::Label
                                             ? slide::FetchLabel(source_.slide)
                                             : slide::FetchPreview(source_.slide);
    WritePicture(which, kind, name, stored.buffer.get(), stored.length, 0,
                 job_.encoding.PictureQuality());
}

ConversionResult NotCreated(slide::SlideSession* slide, const std::string& why) {
    ConversionResult result;
    result.outcome = ConversionOutcome::OutputNotCreated;
    result.failure.step = Step::Of(Stage::CreatingOutput);
    result.failure.cause = Cause::Refusal;
    result.failure.text = why;
    result.slideClosed = slide->Close();
    return result;
}

}  // namespace

ConversionResult ConvertSlideToDicom(const ConversionJob& job, PyramidPlan plan,
                                     slide::SlideSession* slide, const ProgressReport& progress,
                                     const DriverSeams& seams) {
    const OutputFolder target = ResolveOutputFolder(job.outputPath);
    if (!target.Publishable()) return NotCreated(slide, target.refusal);
    // The front end refuses a run without a pixel size before it begins.
    if (!(RecordedMicronsPerPixel(job.info.micronsPerPixel) > 0)) {
        return NotCreated(slide, "the slide records no pixel size");
    }
    if (!slide::HasSlideDigest()) return NotCreated(slide, kNoDigest);
    const std::string acquired = FileWrittenAt(job.inputPath);
    if (acquired.empty()) {
        return NotCreated(slide, "the system does not say when " + job.inputPath + " was written");
    }

    if (std::optional<ConversionResult> lost = PlanPicturesOnSlide(job, slide, &plan)) {
        return *lost;
    }
    const LevelSource source = LevelSourceFor(job, slide->handle());

    const dicom::WsmSlide wsm = WsmSlideFor(job, acquired);

    ConversionResult result;
    result.levels = plan.levels;
    {
        RunRecord record(seams.steps);
        std::string why;
        std::unique_ptr<PublishingFolder> folder = PublishingFolder::Create(target, &why);
        if (!folder) {
            result = NotCreated(slide, why);
            result.levels = plan.levels;
            return result;
        }
        progress(Progress::Started);
        // Made while the instances are written; joined before the slide closes.
        SlideDigestJob digest(slide->handle(), seams.startThread);
        DicomAttempt attempt(job, plan, source, folder.get(), acquired, wsm, &record, progress,
                             seams);
        try {
            attempt.WriteInstances(&result.missingPictures, &result.levelRoutes);
            if (!record.Lost()) attempt.FinishHeads(digest.Wait());
        } catch (const std::bad_alloc&) {
            record.Fail(Step::Of(Stage::Output), Cause::OutOfMemory);
        }
        result.shortLevel = attempt.Short();
        bool whole = !record.Lost();
        if (whole && !folder->Publish(&why)) {
            record.Fail(Step::Of(Stage::RenamingOutput), Cause::Refusal, 0, why.c_str());
            whole = false;
        }
        if (whole) {
            result.publishWarning = folder->Warning();
            result.dicom = attempt.Uids();
        } else {
            result.outputReplaced = folder->Replaced();
        }
        result.failure = record.Read();
        result.outcome = whole ? ConversionOutcome::Converted : ConversionOutcome::Incomplete;
    }
    result.slideClosed = slide->Close();
    return result;
}

}  // namespace nvx::pyramid
