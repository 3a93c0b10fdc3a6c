#include "launcher/window/pictures.h"

#include <objbase.h>
#include <wincodec.h>

namespace {

template <typename T>
struct ComPtr {
    T* p = nullptr;
    ComPtr() = default;
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ~ComPtr() {
        if (p) p->Release();
    }
    T* operator->() const { return p; }
    T** put() { return &p; }
};

}  // namespace

TPicture LoadPictureResource(HINSTANCE AInstance, const wchar_t* AResourceName) {
    TPicture picture;
    HRSRC resource = FindResourceW(AInstance, AResourceName, MAKEINTRESOURCEW(10) /* RT_RCDATA */);
    if (!resource) return picture;
    HGLOBAL loaded = LoadResource(AInstance, resource);
    const DWORD size = SizeofResource(AInstance, resource);
    auto* bytes = static_cast<BYTE*>(LockResource(loaded));
    if (!bytes || size == 0) return picture;

    // Each thread that decodes needs COM; a second initialisation on the UI thread is harmless.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    struct ComScope {
        bool owned;
        ~ComScope() {
            if (owned) CoUninitialize();
        }
    } scope{SUCCEEDED(com)};

    ComPtr<IWICImagingFactory> factory;
    ComPtr<IWICStream> stream;
    ComPtr<IWICBitmapDecoder> decoder;
    ComPtr<IWICBitmapFrameDecode> frame;
    ComPtr<IWICFormatConverter> converter;
    if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IWICImagingFactory, reinterpret_cast<void**>(factory.put()))))
        return picture;
    if (FAILED(factory->CreateStream(stream.put())) || FAILED(stream->InitializeFromMemory(bytes, size)) ||
        FAILED(factory->CreateDecoderFromStream(stream.p, nullptr, WICDecodeMetadataCacheOnDemand,
                                                decoder.put())) ||
        FAILED(decoder->GetFrame(0, frame.put())) ||
        FAILED(factory->CreateFormatConverter(converter.put())) ||
        FAILED(converter->Initialize(frame.p, GUID_WICPixelFormat32bppBGR, WICBitmapDitherTypeNone, nullptr,
                                     0.0, WICBitmapPaletteTypeCustom)))
        return picture;
    UINT width = 0, height = 0;
    if (FAILED(converter->GetSize(&width, &height)) || width == 0 || height == 0) return picture;

    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = static_cast<LONG>(width);
    info.bmiHeader.biHeight = -static_cast<LONG>(height);  // top-down, as WIC delivers the rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    unique_gdi bitmap(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!bitmap || !bits) return picture;
    const UINT stride = width * 4;
    if (FAILED(converter->CopyPixels(nullptr, stride, stride * height, static_cast<BYTE*>(bits))))
        return picture;

    picture.Bitmap = std::move(bitmap);
    picture.Width = static_cast<int>(width);
    picture.Height = static_cast<int>(height);
    return picture;
}
