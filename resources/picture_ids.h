#pragma once
// RCDATA identifiers of the menu window's pictures (JPEG data). Shared by the resource script and
// the window.
#define IDP_BACKGROUND 200
#define IDP_INTERNACAO 201
#define IDP_PRONTUARIO 202
#define IDP_AGENDACONSULTA 203
#define IDP_ATENDIMENTO 204
#define IDP_AGENCIRURGIA 205
#define IDP_ESTOQUE 206
#define IDP_SND 207
#define IDP_GLOSA 208
#define IDP_SAME 209
#define IDP_CUSTO 210
#define IDP_COMPRAS 211
#define IDP_CONTROLEQUIP 212
#define IDP_EXAMES 213
#define IDP_CONTRLDOENCA 214
#define IDP_CONTROLPRONTUARIO 215
#define IDP_FINANCEIRO 216
#define IDP_FATURAMENTO 217
#define IDP_TELEMARKETING 218
#define IDP_CHECKBEIRALEITO 219
