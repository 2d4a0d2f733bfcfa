// tovelmark velk: the demo's pictures, one pixel shader over the whole screen.
//
// Six scenes, chosen by the time:
//   1. intro: on the key colour the logo fades in and the title is stamped over
//      it like an imprint on a shipping crate;
//   2. tiles: the title fades, the logo shrinks while copies fade in around it
//      until the screen is tiled, then the plane rotozooms, with skewing after
//      about ten seconds;
//   3. crew: fade to the plain key colour, the three portraits fade in from left
//      to right along an arch, each followed by its stamped caption, two of them
//      are dragged off, the captions fade and the camera spins into the middle
//      one until all is dark;
//   4. tunnel: a rippling tunnel lined with the pictures opens out of the dark,
//      new tunnels open in its walls, metaballs grow out of its vanishing point
//      after eight seconds, and eight seconds later the camera zooms in on them
//      and everything fades to the key colour;
//   5. a plasma in ink, key colour and cream flows in, with three sine scrollers
//      over it (one sideways uphill, then one up the left side and one down the
//      right), then it fades to the key colour;
//   6. finale: the spray can hops in from the right, bounces about and leaps out
//      to the left, the last word, big and stamped, fades in with the credits
//      under it, gives way to the last picture, the credits go, and the picture
//      and the music fade out together.
// Four verses take turns in the rotozoomer's corners, glitching slightly.
//
// Every pixel is a pure function of its position, the time, the settings and the
// textures, so any moment can be drawn directly. Save an edit of this file or of
// its settings file (demo.hlsl.json) and the running demo picks it up.

cbuffer Globals : register(b0)
{
    float2 iResolution; // render target size in pixels
    float iTime;        // demo time in seconds
    float _pad;         // always 0
};

// Text textures are white on transparent: only their alpha is read, as ink.
// Pictures hold premultiplied colour in sRGB encoding (see over()).
Texture2D Logo : register(t0);           // plate with the emblem cut out (emblem = 1 - alpha)
Texture2D Title : register(t1);          // the title stamp
Texture2D Tumlo : register(t2);          // portrait, left
Texture2D Q9 : register(t3);             // portrait, middle
Texture2D Vispel : register(t4);         // portrait, right
Texture2D TumloCaption : register(t5);
Texture2D Q9Caption : register(t6);
Texture2D VispelCaption : register(t7);
Texture2D Scrolltext : register(t8);     // one line of scroll text
Texture2D ScrollUp : register(t9);       // column of letters travelling up
Texture2D ScrollDown : register(t10);    // column of letters travelling down
Texture2D DataVelk : register(t11);      // the spray can
Texture2D Verse1 : register(t12);
Texture2D Verse2 : register(t13);
Texture2D Verse3 : register(t14);
Texture2D Verse4 : register(t15);
Texture2D Velkt : register(t16);         // the last word
Texture2D Credits1 : register(t17);
Texture2D Credits2 : register(t18);
Texture2D Picture : register(t19);       // the last picture

// Anisotropic, clamping at the edges.
SamplerState ClampSampler : register(s0);

// The settings (timings, sizes, colours) live in demo.hlsl.json. They become
// static const declarations on the next line, all on that one line, so every
// line below keeps its number in compiler messages.
//@settings

static const float PI = 3.14159265;

// ---------------------------------------------------------------------------
// Vertex stage: one triangle covering the whole viewport, no buffers.
// Vertices 0, 1, 2 give (-1, 1), (3, 1), (-1, -3).

float4 VSMain(uint id : SV_VertexID) : SV_Position
{
    float2 uv = float2((id << 1) & 2, id & 2);
    return float4(2.0 * uv.x - 1.0, 1.0 - 2.0 * uv.y, 0.0, 1.0);
}

// ---------------------------------------------------------------------------
// Shared drawing functions.
// p is in screen heights, centred, y downwards. Colours are linear RGB.

// Rotation by a radians: rows (c, -s) and (s, c).
float2x2 rot(float a)
{
    float c = cos(a);
    float s = sin(a);
    return float2x2(c, -s, s, c);
}

// Pseudo-random number in [0, 1).
float hash(float2 p)
{
    p = frac(p * float2(123.34, 456.21));
    p += dot(p, p + 45.32);
    return frac(p.x * p.y);
}

// Smooth value noise in [0, 1).
float noise(float2 p)
{
    float2 i = floor(p);
    float2 f = frac(p);
    float2 u = f * f * (3.0 - 2.0 * f);
    return lerp(lerp(hash(i), hash(i + float2(1, 0)), u.x),
                lerp(hash(i + float2(0, 1)), hash(i + float2(1, 1)), u.x), u.y);
}

// Five octaves of noise.
float fbm(float2 p)
{
    float v = 0.0;
    float a = 0.5;
    for (int i = 0; i < 5; i++)
    {
        v += a * noise(p);
        p = p * 2.03 + 17.1;
        a *= 0.5;
    }
    return v;
}

// Texture coordinates of p on tex drawn width screen heights wide, centred at
// the origin. True when p falls on the texture (edges included).
bool textureUV(Texture2D tex, float2 p, float width, out float2 uv)
{
    float w, h;
    tex.GetDimensions(w, h);
    uv = p / (float2(1.0, h / w) * width) + 0.5;
    return all(uv >= 0.0) && all(uv <= 1.0);
}

// A premultiplied, sRGB-encoded texel composited over col.
float3 over(float3 col, float4 texel, float opacity)
{
    if (texel.a <= 0.0)
        return col;
    return lerp(col, pow(texel.rgb / texel.a, 2.2), texel.a * opacity);
}

// Nudge for ragged paint edges, at most 0.00075 screen heights per axis.
float2 paintWobble(float2 g)
{
    return (float2(noise(g * 1.7), noise(g * 1.7 + 31.7)) - 0.5) * 0.0015;
}

// Share of paint that landed at grain position g: large worn patches, streaks
// running horizontally like wood grain, fine dropouts. Wear punches holes into
// solid ink instead of thinning it.
float paintCoverage(float2 g)
{
    float wear = fbm(g * 0.12);
    float grain = fbm(float2(0.6 * g.x, 6.0 * g.y));
    float speck = noise(g * 4.0);
    float holes = smoothstep(0.73, 0.77, wear + (grain - 0.5) * 0.35);
    return (1.0 - 0.7 * holes) * smoothstep(0.04, 0.08, speck);
}

// Worn ink coverage of a text texture at uv; size is its size on screen and
// grain the grain cells per screen height, so the wear sticks to the letters.
float wornText(Texture2D text, float2 uv, float2 size, float grain, float seed)
{
    float2 g = uv * size * grain + 37.0 * seed;
    float2 rough = uv + paintWobble(g) / size;
    float inside = all(rough == saturate(rough)) ? 1.0 : 0.0;
    return text.Sample(ClampSampler, rough).a * inside * paintCoverage(g);
}

// Ink of a text stamped at stampTime: it comes down 12% oversized, settles
// within a few frames and ramps in over 0.04 s. A positive tilt rises to the
// right on screen.
float stamp(Texture2D text, float2 p, float2 centre, float width, float tilt, float stampTime, float time)
{
    float age = time - stampTime;
    if (age < 0.0)
        return 0.0;
    float slam = 1.0 + 0.12 * exp(-30.0 * age);
    // Dividing the lookup position by slam draws the text slam times larger.
    float2 q = mul(rot(tilt), p - centre) / slam;
    float2 g = q / width * 69.0 + centre * 37.0;
    float2 uv;
    // The wobble is scaled to the title's width, so small text wears like it.
    if (!textureUV(text, q + paintWobble(g) * width / STAMP_WIDTH, width, uv))
        return 0.0;
    float ink = text.Sample(ClampSampler, uv).a;
    return saturate(ink * paintCoverage(g)) * smoothstep(0.0, 0.04, age);
}

// Emblem coverage of the logo repeated over the plane. Tile (0, 0) spans tileUV
// 0 to 1 and shows the middle TILE_CROP share of the plate's width. The
// gradients come from the unwrapped tileUV, so the jump at a tile edge does not
// disturb the mip selection.
float emblemTiles(float2 tileUV, out float2 tile)
{
    tile = floor(tileUV);
    float2 uv = float2(0.5 + (frac(tileUV.x) - 0.5) * TILE_CROP, frac(tileUV.y));
    float2 scale = float2(TILE_CROP, 1.0);
    return 1.0 - Logo.SampleGrad(ClampSampler, uv, ddx(tileUV) * scale, ddy(tileUV) * scale).a;
}

// Size of one tile for a plate height in screen heights.
float2 tileSize(float height)
{
    float w, h;
    Logo.GetDimensions(w, h);
    return float2(w / h * TILE_CROP, 1.0) * height;
}

// ---------------------------------------------------------------------------
// Scenes 1 to 3: intro, tiles and verses, crew.

float3 intro(float2 p, float time)
{
    return VELK;
}

float ease(float u, float tau)
{
    return u;
}

float3 rotozoom(float2 p, float time)
{
    return VELK;
}

float glitchRandom(float frame, float k)
{
    return 0.0;
}

float3 verse(float3 col, Texture2D text, int i, float2 p, float time)
{
    return col;
}

float3 verses(float3 col, float2 p, float time)
{
    return col;
}

float roundedBottom(float2 uv, float2 size)
{
    return 1.0;
}

float3 crewMember(float3 col, Texture2D image, Texture2D caption, int i, float2 p, float time)
{
    return col;
}

float3 crew(float2 p, float time)
{
    return VELK;
}

float2 q9ZoomView(float2 p, float time)
{
    return p;
}

// ---------------------------------------------------------------------------
// Scene 4: the tunnel.

float4 tunnelTexel(float2 uv, float2 gx, float2 gy)
{
    return float4(0.0, 0.0, 0.0, 0.0);
}

// The vanishing point, u seconds into the tunnel: slow loops, starting from the
// centre over the first four seconds.
float2 tunnelCentre(float u)
{
    return float2(0.30 * sin(0.7 * u), 0.18 * sin(0.53 * u)) * smoothstep(0.0, 4.0, u);
}

// Share of the vanishing point's drift that applies at distance r.
float tunnelBend(float r)
{
    return exp(-2.5 * r);
}

float3 tunnel(float2 p, float time)
{
    return VELK;
}

float3 smallTunnel(float2 q, float2 dqdx, float2 dqdy, float u, float spin, float seed)
{
    return VELK;
}

float3 portals(float3 col, float2 p, float time)
{
    return col;
}

float3 metaballs(float3 col, float2 p, float time)
{
    return col;
}

// ---------------------------------------------------------------------------
// Scene 5: plasma and scrollers.

float3 plasma(float2 p, float time)
{
    return VELK;
}

float3 scroller(float3 col, float2 p, float time)
{
    return col;
}

// When the sideways text, started at start, has fully entered the screen.
float scrollWritten(float start)
{
    float w, h;
    Scrolltext.GetDimensions(w, h);
    return start + (w / h) * SCROLL_HEIGHT / SCROLL_SPEED;
}

// On-screen size of a column's text: same letter size as the sideways text.
float2 columnSize(Texture2D column)
{
    float w, h, lineWidth, lineHeight;
    column.GetDimensions(w, h);
    Scrolltext.GetDimensions(lineWidth, lineHeight);
    return float2(w, h) * SCROLL_HEIGHT / lineHeight;
}

// When a column, started at start, has fully entered the screen.
float columnWritten(Texture2D column, float start)
{
    return start + columnSize(column).y / SCROLL_SPEED;
}

float3 columnScroller(Texture2D column, float3 col, float2 p, float2 origin, bool downwards, float start,
                      float phase, float time)
{
    return col;
}

float3 scrollers(float3 col, float2 p, float time)
{
    return col;
}

// ---------------------------------------------------------------------------
// The timeline after the scroll cue, in seconds. It lives only here and in the
// settings; EndTime hands the end and the start of the final fade to the host.

// The down scroller, the last one, has fully entered and crossed one screen.
float plasmaOutStart()
{
    float upStart = scrollWritten(SCROLL_START) - SCROLL_LEAD;
    float downStart = columnWritten(ScrollUp, upStart) - SCROLL_DOWN_LEAD;
    return columnWritten(ScrollDown, downStart) + 1.0 / SCROLL_SPEED;
}

float canStart()
{
    return plasmaOutStart() + PLASMA_OUT + CAN_DELAY;
}

float canEnd()
{
    float t = canStart();
    for (int i = 0; i < 5; i++)
        t += CAN_HOPS[i].w;
    return t;
}

float velktStart()
{
    return canEnd() + VELKT_DELAY;
}

// The last word starts fading out.
float velktOutStart()
{
    return velktStart() + VELKT_FADE + VELKT_HOLD;
}

// The picture starts fading in.
float pictureStart()
{
    return velktOutStart() + VELKT_OUT;
}

// The credits start fading out.
float creditsOutStart()
{
    return pictureStart() + PICTURE_FADE + CREDIT_HOLD;
}

// The picture and the music start their final fade.
float finalFadeStart()
{
    return creditsOutStart() + CREDIT_OUT + PICTURE_HOLD;
}

float demoEnd()
{
    return finalFadeStart() + FINAL_FADE;
}

// Drawn into one pixel: x = the end of the demo, y = the start of the final fade.
float4 EndTime() : SV_Target
{
    return float4(demoEnd(), finalFadeStart(), 0.0, 1.0);
}

// ---------------------------------------------------------------------------
// Scene 6: the finale.

float3 canFinale(float2 p, float time)
{
    return VELK;
}

float credit(Texture2D text, float2 p, float x, float tilt, float seed)
{
    return 0.0;
}

float3 picture(float3 col, float2 p, float fade)
{
    return col;
}

float3 velkt(float3 col, float2 p, float time)
{
    return col;
}

// ---------------------------------------------------------------------------
// The pixel stage: the scene by time (the first window that holds iTime; a
// boundary moment belongs to the later scene), then the output encoding.

float4 PSMain(float4 position : SV_Position) : SV_Target
{
    float2 p = (position.xy - 0.5 * iResolution) / iResolution.y;
    float3 col;
    if (iTime < ROTO_START)
    {
        col = intro(p, iTime);
    }
    else if (iTime < CREW_START + CREW_FADE)
    {
        col = lerp(verses(rotozoom(p, iTime), p, iTime), VELK,
                   smoothstep(CREW_START, CREW_START + CREW_FADE, iTime));
    }
    else if (iTime < TUNNEL_START)
    {
        col = crew(q9ZoomView(p, iTime), iTime);
    }
    else if (iTime < PLASMA_START)
    {
        // Zoom by FINALE_ZOOM^(s^2) about the tunnel's vanishing point.
        float s = saturate((iTime - FINALE_ZOOM_START) / FINALE_ZOOM_TIME);
        float2 centre = tunnelCentre(iTime - TUNNEL_START);
        float2 q = centre + (p - centre) / exp(log(FINALE_ZOOM) * s * s);
        col = metaballs(portals(tunnel(q, iTime), q, iTime), q, iTime);
        col = lerp(col, VELK, smoothstep(FINALE_FADE_START, FINALE_FADE_END, iTime));
    }
    else
    {
        float outStart = plasmaOutStart();
        float fadeOut = smoothstep(outStart, outStart + PLASMA_OUT, iTime);
        if (fadeOut < 1.0)
            col = lerp(scrollers(plasma(p, iTime), p, iTime), VELK, fadeOut);
        else
            col = velkt(canFinale(p, iTime), p, iTime);
    }
    return float4(pow(saturate(col), 1.0 / 2.2), 1.0);
}
