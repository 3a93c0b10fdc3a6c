#pragma once
// The menu's pictures, tiles and hot areas, one row each, bottom to top (a later one lies above an
// earlier one). A tile is its row here and its picture among the resources (resources/aurevia.rc,
// drawn by resources/draw-pictures): the window builds its components, the click handling and the
// tile catalogue from these rows alone. Portable.
#include <array>
#include <cstddef>
#include <string_view>

enum class TTileShape {
    Background,  // the window's picture, drawn centred at its own size and cut by the rectangle
    Tile,        // a picture stretched to the rectangle
    HotArea,     // no picture of its own: lies over a drawing of the background
};

// What a click on the row's component does.
enum class TTileClick { None, Module, SupportTool1, SupportTool2, Mail };

struct TTileRow {
    const wchar_t* Component;      // the window's component of this name
    int Left, Top, Width, Height;  // client pixels at 96 dpi
    TTileShape Shape;
    const wchar_t* Picture;  // RCDATA resource holding its JPEG data; nullptr for a hot area
    TTileClick Click;
    const wchar_t* Executable;  // the module's executable, relative to the launcher's folder
    bool AdditionalFiles;       // its update also covers the shared files
    bool Popup;                 // a right-click opens the popup menu
    const wchar_t* Caption;     // what the picture shows
};

namespace tile_table {
using enum TTileShape;
using enum TTileClick;

// clang-format off
inline constexpr auto kTiles = std::to_array<TTileRow>({
    // component              left  top  width height shape     picture               click         executable              shared popup  caption
    {L"Image1",                 -1,   0, 1018, 708, Background, L"BACKGROUND",        None,         nullptr,                false, true,  L"Aurevia"},
    {L"imgInternacao",          27, 144,  476,  75, Tile,       L"INTERNACAO",        Module,       L"Admission.exe",       true,  true,  L"Internação"},
    {L"imgProntuario",          27, 232,  317,  75, Tile,       L"PRONTUARIO",        Module,       L"Prescribing.exe",     true,  true,  L"Prontuário"},
    {L"imgAgendaConsulta",     514, 144,  476,  75, Tile,       L"AGENDACONSULTA",    Module,       L"Scheduling.exe",      true,  true,  L"Agenda de Consultas e Exames"},
    {L"imgAtendimento",        673, 232,  317,  75, Tile,       L"ATENDIMENTO",       Module,       L"UrgentCare.exe",      true,  true,  L"Atendimento"},
    {L"imgAgenCirurgia",        27, 336,  114, 122, Tile,       L"AGENCIRURGIA",      Module,       L"SurgeryPlanner.exe",  true,  true,  L"Centro Cirúrgico"},
    {L"imgEstoque",            169, 336,  114, 122, Tile,       L"ESTOQUE",           Module,       L"Inventory.exe",       true,  true,  L"Estoque"},
    {L"imgSND",                310, 334,  114, 122, Tile,       L"SND",               Module,       L"Dietetics.exe",       true,  true,  L"Nutrição e Dietética"},
    {L"imgGlosa",               27, 468,  114, 122, Tile,       L"GLOSA",             Module,       L"ClaimDenials.exe",    true,  true,  L"Glosas"},
    {L"imgSame",               169, 468,  114, 122, Tile,       L"SAME",              Module,       L"RecordsArchive.exe",  true,  true,  L"SAME"},
    {L"imgCusto",              310, 468,  114, 122, Tile,       L"CUSTO",             Module,       L"CostAccounting.exe",  true,  true,  L"Custos"},
    {L"imgCompras",            452, 335,  114, 122, Tile,       L"COMPRAS",           Module,       L"Purchasing.exe",      true,  true,  L"Compras"},
    {L"imgControlEquip",       452, 468,  114, 122, Tile,       L"CONTROLEQUIP",      Module,       L"EquipmentCare.exe",   true,  true,  L"Equipamentos e Serviços"},
    {L"imgExames",             593, 334,  114, 122, Tile,       L"EXAMES",            Module,       L"LabTests.exe",        true,  true,  L"Exames"},
    {L"imgContrlDoenca",       593, 468,  114, 122, Tile,       L"CONTRLDOENCA",      Module,       L"DiseaseWatch.exe",    true,  true,  L"Doenças Crônicas"},
    {L"imgControlProntuario",  737, 468,  114, 122, Tile,       L"CONTROLPRONTUARIO", Module,       L"ChartTracking.exe",   true,  true,  L"Controle de Prontuário"},
    {L"imgFinanceiro",         737, 336,  114, 122, Tile,       L"FINANCEIRO",        Module,       L"Treasury.exe",        true,  true,  L"Financeiro"},
    {L"imgFaturamento",        876, 336,  114, 122, Tile,       L"FATURAMENTO",       Module,       L"Invoicing.exe",       true,  true,  L"Faturamento"},
    {L"imgTelemarketing",      876, 468,  114, 122, Tile,       L"TELEMARKETING",     Module,       L"ContactCenter.exe",   true,  true,  L"Captação de Recursos"},
    // The remote-support areas keep their catalogue rows, though their own clicks never read them.
    {L"imgSuporteRemoto1",     694, 648,   39,  41, HotArea,    nullptr,              SupportTool1, L"TeamViewerQS_pt.exe", false, true,  L"1"},
    {L"imgSuporteRemoto2",     815, 646,   48,  44, HotArea,    nullptr,              SupportTool2, L"Supremo.exe",         false, true,  L"2"},
    {L"imgEmail",              928, 636,   47,  37, HotArea,    nullptr,              Mail,         nullptr,                false, true,  L"e-mail"},
    {L"imgAdmSistema",         191, 653,  194,  30, HotArea,    nullptr,              Module,       L"SystemAdmin.exe",     true,  true,  L"Administração"},
    {L"imgCadGeral",            31, 653,  138,  30, HotArea,    nullptr,              Module,       L"MasterData.exe",      true,  true,  L"Cadastros Gerais"},
    {L"imgAeC",                331,  12,  349, 100, HotArea,    nullptr,              None,         nullptr,                false, false, L"Aurevia"},
    {L"imgCheckBeiraLeito",    350, 232,  317,  75, Tile,       L"CHECKBEIRALEITO",   Module,       L"BedsideCheck.exe",    true,  true,  L"Check Beira Leito"},
});
// clang-format on

}  // namespace tile_table

using tile_table::kTiles;
inline constexpr std::size_t kTileCount = kTiles.size();

// The row of the component of that name; a name the table lacks does not compile.
consteval std::size_t TileIndex(std::wstring_view AComponent) {
    for (std::size_t i = 0; i < kTileCount; ++i)
        if (AComponent == kTiles[i].Component) return i;
    throw "no row of the tile table has this component";
}
