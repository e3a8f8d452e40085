#pragma once
// The messages and progress captions of the image-format library.

namespace qv {

inline constexpr const char* gesInvalidImage = "Cannot load image. Invalid or unexpected %s image format.";
inline constexpr const char* gesInvalidColorFormat = "Invalid color format in %s file.";
inline constexpr const char* gesStreamReadError = "Stream read error in %s file.";
inline constexpr const char* gesUnsupportedFeature = "Cannot load image. %s not supported for %s files.";
inline constexpr const char* gesInvalidCRC = "Cannot load image. CRC error found in %s file.";
inline constexpr const char* gesCompression = "Cannot load image. Compression error found in %s file.";
inline constexpr const char* gesExtraCompressedData = "Cannot load image. Extra compressed data found in %s file.";
inline constexpr const char* gesInvalidPalette = "Cannot load image. Palette in %s file is invalid.";
inline constexpr const char* gesUnknownCriticalChunk = "Cannot load PNG image. Unexpected but critical chunk detected.";
inline constexpr const char* gesRegistration = "Attempt to register %s twice.";

/// First argument of gesUnsupportedFeature for an unsupported compression.
inline constexpr const char* gesCompressionScheme = "The compression scheme is";

inline constexpr const char* gesIndexedNotSupported =
    "Conversion between indexed and non-indexed pixel formats is not supported.";
inline constexpr const char* gesConversionUnsupported = "Color conversion failed. Could not find a proper method.";
inline constexpr const char* gesInvalidSampleDepth = "Color depth is invalid. Bits per sample must be 1, 2, 4, 8 or 16.";
inline constexpr const char* gesInvalidPixelDepth = "Sample count per pixel does not correspond to the given color scheme.";
inline constexpr const char* gesInvalidSubSampling = "Subsampling value is invalid. Allowed are 1, 2 and 4.";
inline constexpr const char* gesVerticalSubSamplingError = "Vertical subsampling value must be <= horizontal subsampling value.";

inline constexpr const char* gesLZ77Error = "LZ77 decompression error.";
inline constexpr const char* gesJPEGStripSize = "Improper JPEG strip/tile size.";
inline constexpr const char* gesJPEGComponentCount = "Improper JPEG component count.";
inline constexpr const char* gesJPEGDataPrecision = "Improper JPEG data precision.";
inline constexpr const char* gesJPEGSamplingFactors = "Improper JPEG sampling factors.";
inline constexpr const char* gesJPEGBogusTableField = "Bogus JPEG tables field.";
inline constexpr const char* gesJPEGFractionalLine = "Fractional JPEG scanline unsupported.";
inline constexpr const char* gesJPEGEOI = "JPEG decompression error. Unexpected end of input.";
/// A message of the JPEG library itself, passed on in place of %s.
inline constexpr const char* gesJPEGLibraryError = "JPEG decompression error. %s";
/// Put in place of %s above when a progressive strip has more scans than any encoder writes.
inline constexpr const char* gesJPEGTooManyScans = "Too many progressive scans (more than %d).";
/// Caption of the JPEG library's warnings.
inline constexpr const char* gesJPEGWarningCaption = "Warning";
inline constexpr const char* gesLZWCodeSize = "Invalid LZW code size %u (at most 11 allowed).";
inline constexpr const char* gesTargaEncodeBuffer = "Targa encoding: the output buffer is too small.";

/// The library's size limits: a picture's sides, and a size computed from file values
/// (%s names it, %llu is the limit).
inline constexpr const char* gesPictureTooLarge = "Picture size %u x %u exceeds the limit of %d pixels per side.";
inline constexpr const char* gesSizeLimit = "%s exceeds the limit of %llu bytes.";

/// Format names put into the messages above, by reader.
// Targa
inline constexpr const char* gesTargaTooLarge = "Cannot save image. Targa pictures are at most 65535 × 65535 pixels.";
// TIFF
inline constexpr const char* gesTIFFFormat = "TIF/TIFF";
inline constexpr const char* gesTiledImages = "Tiled images are";            // first argument of gesUnsupportedFeature
inline constexpr const char* gesSeparatePlanes = "Separate colour planes are"; // likewise
// EPS
inline constexpr const char* gesEPSFormat = "EPS";
// PCX
inline constexpr const char* gesPCXOrSCRFormat = "PCX or SCR";
inline constexpr const char* gesPCXFormat = "PCX";
// RLA
inline constexpr const char* gesRLAFormat = "RLA";
// SGI
inline constexpr const char* gesSGIFormat = "sgi, bw or rgb(a)";
// Photoshop
inline constexpr const char* gesPSDFormat = "PSD or PDD";
// Portable maps
inline constexpr const char* gesPortableMapFormats = "PBM, PGM or PPM";
inline constexpr const char* gesPPMFormat = "PPM";
// Autodesk
inline constexpr const char* gesAutodeskFormat = "Autodesk";
// Photo-CD
inline constexpr const char* gesPCDFormat = "PCD";
// GIF
inline constexpr const char* gesGIFFormat = "GIF";
// Dr. Halo
// Paintshop Pro
inline constexpr const char* gesPSPFormat = "PSP";
// PNG
inline constexpr const char* gesPNGFormat = "PNG";

/// Progress captions.
inline constexpr const char* gesPreparing = "Preparing...";
inline constexpr const char* gesTransfering = "Transfering...";
inline constexpr const char* gesLoadingData = "Loading data...";
inline constexpr const char* gesUpsampling = "Upsampling...";

/// Descriptions of the start-up registration table.
inline constexpr const char* gesJPGImages = "JPG images";
inline constexpr const char* gesJFIFImages = "JFIF images";
inline constexpr const char* gesJPEImages = "JPE images";
inline constexpr const char* gesBitmaps = "Windows bitmaps";
inline constexpr const char* gesRLEBitmaps = "Run length encoded Windows bitmaps";
inline constexpr const char* gesDIBs = "Device independant Windows bitmaps";
inline constexpr const char* gesTruevision = "Truevision images";
inline constexpr const char* gesTIFF = "Tagged image file format images";
inline constexpr const char* gesMacTIFF = "Macintosh TIFF images";
inline constexpr const char* gesPCTIF = "PC TIF images";
inline constexpr const char* gesGFIFax = "GFI fax images";
inline constexpr const char* gesEPS = "Encapsulated Postscript images";
inline constexpr const char* gesPCX = "ZSoft Paintbrush images";
inline constexpr const char* gesScreenCapture = "Word 5.x screen capture images";
inline constexpr const char* gesAliasWaveFront = "Alias/Wavefront images";
inline constexpr const char* gesSGI = "SGI images";
inline constexpr const char* gesSGITrueColor = "SGI true color images";
inline constexpr const char* gesSGITrueColorAlpha = "SGI true color images with alpha";
inline constexpr const char* gesSGIMono = "SGI black/white images";
inline constexpr const char* gesPhotoshop = "Photoshop images";
inline constexpr const char* gesPortable = "Portable map images";
inline constexpr const char* gesPortablePixel = "Portable pixel map images";
inline constexpr const char* gesPortableGray = "Portable gray map images";
inline constexpr const char* gesPortableMono = "Portable bitmap images";
inline constexpr const char* gesAutodesk = "Autodesk images";
inline constexpr const char* gesKodakPhotoCD = "Kodak Photo-CD images";
inline constexpr const char* gesCompuserve = "CompuServe images";
inline constexpr const char* gesHalo = "Dr. Halo images";
inline constexpr const char* gesPaintShopPro = "Paintshop Pro images";
inline constexpr const char* gesPortableNetworkGraphic = "Portable network graphic images";

} // namespace qv
