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

// Five octaves of noise. The octave loop stays a loop ([loop]): fbm is called at
// many places and the compiler inlines every call, so an unrolled loop would put
// five copies of noise at each of them and multiply the compile time.
float fbm(float2 p)
{
    float v = 0.0;
    float a = 0.5;
    [loop]
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

// Scene 1. On the key colour the centre tile's emblem fades in, the title is
// stamped over it and fades, then the plate shrinks from LOGO_HEIGHT to
// TILE_HEIGHT while the rings of copies around it fade in one after another.
float3 intro(float2 p, float time)
{
    // The plate shrinks geometrically.
    float z = smoothstep(TILE_ZOOM_START, TILE_ZOOM_END, time);
    float height = LOGO_HEIGHT * pow(TILE_HEIGHT / LOGO_HEIGHT, z);

    // Tile (0, 0) is centred on the screen; ring n is the square of tiles n away.
    float2 tile;
    float emblem = emblemTiles(p / tileSize(height) + 0.5, tile);
    float ring = max(abs(tile.x), abs(tile.y));
    float fade;
    if (ring < 0.5)
        fade = smoothstep(LOGO_FADE_START, LOGO_FADE_END, time);
    else
        fade = smoothstep(0.0, TILE_RING_FADE, time - TILE_RING_START - (ring - 1.0) * TILE_RING_INTERVAL);

    // Where the plate is opaque the key colour stays: only the emblems show.
    float3 col = lerp(VELK, CREAM, emblem * fade);

    float ink = stamp(Title, p, float2(0.0, 0.0), STAMP_WIDTH, STAMP_TILT, STAMP_TIME, time)
              * (1.0 - smoothstep(TITLE_FADE_START, TITLE_FADE_END, time));
    return lerp(col, INK, ink * 0.97);
}

// Eased time: starts at 0 with zero speed and reaches unit speed after about
// tau seconds, so the plane leaves the still tiles without a jolt.
float ease(float u, float tau)
{
    return u - tau * (1.0 - exp(-u / tau));
}

// Scene 2's plane: the tiles rotated, breathing in and out and scrolling, with a
// shear that joins in later and grows, and a wavy bend in the last seconds.
float3 rotozoom(float2 p, float time)
{
    float u = time - ROTO_START;
    float e = ease(u, ROTO_EASE);
    float angle = ROTO_SPIN * e;
    float zoom = exp(ROTO_ZOOM_RANGE * sin(ROTO_ZOOM_RATE * e)); // above 1 more tiles are seen
    float2 scroll = float2(0.35, 0.15) * e;                      // in tiles

    // The shear runs on the uneased time. The product of its two amplitudes
    // stays below 1, so the plane never folds flat.
    float boost = lerp(1.0, SKEW_BOOST, smoothstep(SKEW_BOOST_START, CREW_START, time));
    float2 skew = smoothstep(SKEW_START, SKEW_START + SKEW_RAMP, time)
                * float2(0.8 * boost * sin(0.7 * u), 0.55 * sin(0.53 * u + 1.3));

    // The bend, both components from the unbent p, on the absolute time. Its
    // slope stays under 1, so the picture bends without folding over itself.
    float w = DISTORT_AMOUNT * smoothstep(DISTORT_START, DISTORT_START + DISTORT_RAMP, time);
    float2 bent = p + w * float2(sin(9.0 * p.y + 3.1 * time) + 0.5 * sin(23.0 * p.y - 4.3 * time),
                                 sin(7.0 * p.x - 2.6 * time) + 0.5 * sin(17.0 * p.x + 3.7 * time)) / 1.5;

    // Shear first, then the rotation, then the zoom.
    float2 sheared = float2(bent.x + skew.x * bent.y, skew.y * bent.x + bent.y);
    float2 plane = zoom * mul(rot(angle), sheared);

    float2 tile;
    float emblem = emblemTiles(plane / tileSize(TILE_HEIGHT) + 0.5 + scroll, tile);
    return lerp(VELK, CREAM, emblem);
}

// Pseudo-random number of a glitch frame; k picks an independent stream. The
// frame count is split in two so that hash gets small arguments and keeps its
// precision.
float glitchRandom(float frame, float k)
{
    return hash(float2(fmod(frame, 53.0), floor(frame / 53.0)) + k * float2(7.13, 3.31));
}

// Verse i in its corner: it flickers on, stays, flickers off, and now and then
// bands of it tear sideways with a pale ghost beside them. Every random choice
// holds for one glitch frame and depends on the time alone.
float3 verse(float3 col, Texture2D text, int i, float2 p, float time)
{
    float start = VERSE_START + i * VERSE_INTERVAL;
    if (time < start || time > start + VERSE_HOLD + VERSE_FADE)
        return col;

    // The box, before the tilt, keeps VERSE_MARGIN from the two screen edges of
    // its corner (corner signs: x right, y down).
    float w, h;
    text.GetDimensions(w, h);
    float2 size = float2(w, h) * VERSE_SCALE;
    float2 screenHalf = float2(0.5 * iResolution.x / iResolution.y, 0.5);
    float2 centre = VERSE_CORNERS[i] * (screenHalf - VERSE_MARGIN - 0.5 * size);
    float2 q = mul(rot(radians(VERSE_TILT[i])), p - centre);
    float2 uv = q / size + 0.5;
    // Gradients of the untorn coordinates: the tear must not disturb the mip level.
    float2 gx = ddx(uv);
    float2 gy = ddy(uv);

    float frame = floor(time * VERSE_GLITCH_RATE);

    // Flicker: while fading, each glitch frame shows all of the verse or none,
    // with a chance that rises (falls) linearly.
    float shown = saturate((time - start) / VERSE_FADE)
                * saturate((start + VERSE_HOLD + VERSE_FADE - time) / VERSE_FADE);
    float visible = (shown >= 1.0 || glitchRandom(frame, i) < shown) ? 1.0 : 0.0;

    // Half of the frames glitch at the very start and end, VERSE_GLITCH_CHANCE
    // of them once the verse is fully up.
    float burst = glitchRandom(frame, i + 10) < lerp(0.5, VERSE_GLITCH_CHANCE, shown) ? 1.0 : 0.0;

    // Seven bands per text height, their edges shifted per frame; about half of
    // them jump by up to half of VERSE_GLITCH either way.
    float band = floor(7.0 * uv.y + 7.0 * glitchRandom(frame, i + 20));
    float tear = glitchRandom(frame + 0.17 * band, i + 30);
    float shift = burst * (tear > 0.5 ? 1.0 : 0.0) * (tear - 0.75) * 2.0 * VERSE_GLITCH;
    float2 torn = uv + float2(shift / size.x, 0.0);
    float2 ghost = torn - float2(burst * 0.4 * VERSE_GLITCH / size.x, 0.0); // a copy to the right

    // Worn paint as on the title, moving with the torn letters: 69 grain cells
    // per text width, the pattern shifted by the verse's centre.
    float2 g = (torn - 0.5) * float2(1.0, size.y / size.x) * 69.0 + centre * 37.0;
    float2 rough = torn + paintWobble(g) / size;
    float roughInside = all(rough >= 0.0) && all(rough <= 1.0) ? 1.0 : 0.0;
    float letters = text.SampleGrad(ClampSampler, rough, gx, gy).a * roughInside * paintCoverage(g);

    float ghostInside = all(ghost >= 0.0) && all(ghost <= 1.0) ? 1.0 : 0.0;
    float ghostCoverage = text.SampleGrad(ClampSampler, ghost, gx, gy).a * ghostInside * burst;

    col = lerp(col, lerp(VELK, CREAM, 0.45), ghostCoverage * 0.8 * visible);
    return lerp(col, INK, letters * 0.97 * visible);
}

// The four verses going clockwise round the corners, each over the one before.
float3 verses(float3 col, float2 p, float time)
{
    col = verse(col, Verse1, 0, p, time);
    col = verse(col, Verse2, 1, p, time);
    col = verse(col, Verse3, 2, p, time);
    col = verse(col, Verse4, 3, p, time);
    return col;
}

// Coverage of a rectangle of the given size whose two bottom corners are rounded
// with CORNER_RADIUS and a two-pixel soft edge; the top corners stay square.
float roundedBottom(float2 uv, float2 size)
{
    float2 q = uv * size;
    float2 corner = float2(clamp(q.x, CORNER_RADIUS, size.x - CORNER_RADIUS), size.y - CORNER_RADIUS);
    if (q.y < corner.y)
        return 1.0;
    float aa = 1.0 / iResolution.y;
    // Falls from 1 to 0 between CORNER_RADIUS - aa and CORNER_RADIUS + aa.
    return 1.0 - smoothstep(CORNER_RADIUS - aa, CORNER_RADIUS + aa, length(q - corner));
}

// Crew member i (0 left, 1 middle, 2 right): the stamped caption, then the
// portrait standing on the arch, which the outer two leave by being picked up
// and dragged off, twisting, with a soft shadow under them.
float3 crewMember(float3 col, Texture2D image, Texture2D caption, int i, float2 p, float time)
{
    float start = PORTRAIT_START + i * PORTRAIT_INTERVAL;
    float side = i - 1.0;
    // The middle of the portrait's visible bottom edge; the outer two stand lower.
    float2 base = float2(side * PORTRAIT_SPACING, ARCH_BASE + ARCH_DROP * side * side);

    // The caption first, so that a lifted portrait passes over it. A long caption
    // under an outer portrait moves in from the screen's side as far as it must.
    float cw, ch;
    caption.GetDimensions(cw, ch);
    float2 captionCentre = base + float2(0.0, CAPTION_GAP + 0.5 * ch * CAPTION_SCALE);
    float reach = 0.5 * iResolution.x / iResolution.y - CAPTION_MARGIN - 0.5 * cw * CAPTION_SCALE;
    captionCentre.x = min(max(captionCentre.x, -reach), reach);
    float ink = stamp(caption, p, captionCentre, cw * CAPTION_SCALE, radians(CAPTION_TILT[i]),
                      start + CAPTION_DELAY, time)
              * (1.0 - smoothstep(CAPTION_FADE_START, CAPTION_FADE_END, time));
    col = lerp(col, INK, ink * 0.97);

    // Every portrait is PORTRAIT_WIDTH wide at its own aspect, cropped to the top
    // share PORTRAIT_CROP[i]; centre is that of the whole uncropped image, so the
    // crop's bottom edge lies on base.
    float w, h;
    image.GetDimensions(w, h);
    float height = PORTRAIT_WIDTH * h / w;
    float shown = PORTRAIT_CROP[i];
    float2 centre = base - float2(0.0, (shown - 0.5) * height);
    float2 visible = float2(PORTRAIT_WIDTH, shown * height);

    // The drag: picked up (slightly bigger), pulled away accelerating, twisting.
    float drag = EXIT_ORDER[i] < 0.0
               ? 0.0
               : saturate((time - EXIT_START - EXIT_ORDER[i] * EXIT_INTERVAL) / EXIT_DRAG);
    if (drag >= 1.0)
        return col; // gone off screen
    float lifted = smoothstep(0.0, 0.2, drag);
    float2 offset = EXIT_DIR[i] * 1.5 * drag * drag * drag;
    float2x2 twist = rot(radians(EXIT_TWIST[i]) * smoothstep(0.0, 1.0, drag));
    float scale = 1.0 + 0.04 * lifted;

    float fade = smoothstep(start, start + PORTRAIT_FADE, time);

    float2 uv;
    if (lifted > 0.0)
    {
        // The shadow, to the right of and below the lifted portrait: the blurred
        // alpha of mip 4, with the edges (the straight crop included) feathered
        // here, since the clamping sampler would smear the border outwards.
        textureUV(image, mul(twist, p - centre - offset - float2(0.015, 0.02) * lifted) / scale,
                  PORTRAIT_WIDTH, uv);
        float2 edges = smoothstep(-0.05, 0.05, uv) * smoothstep(-0.05, 0.05, float2(1.0, shown) - uv);
        float shadow = image.SampleLevel(ClampSampler, saturate(uv), 4.0).a * edges.x * edges.y
                     * roundedBottom(saturate(uv / float2(1.0, shown)), visible);
        col = lerp(col, 0.55 * col, shadow * lifted * fade);
    }

    bool inside = textureUV(image, mul(twist, p - centre - offset) / scale, PORTRAIT_WIDTH, uv);
    // Sampled outside the test, so the mip selection sees the neighbours' uv too.
    float4 texel = image.Sample(ClampSampler, uv);
    if (inside && uv.y <= shown)
        col = over(col, texel * roundedBottom(uv / float2(1.0, shown), visible), fade);
    return col;
}

// The crew plane: the three members from left to right on the key colour, so a
// later member's caption lies over an earlier member's portrait.
float3 crew(float2 p, float time)
{
    float3 col = VELK;
    col = crewMember(col, Tumlo, TumloCaption, 0, p, time);
    col = crewMember(col, Q9, Q9Caption, 1, p, time);
    col = crewMember(col, Vispel, VispelCaption, 2, p, time);
    return col;
}

// The camera over the crew plane: identity until Q9_ZOOM_START, then it moves
// over the patch of ink at Q9_DARK_SPOT of the middle portrait (arriving at 70%
// of the zoom time) while the zoom to Q9_ZOOM and the accelerating spin of
// Q9_SPIN run on to the end.
float2 q9ZoomView(float2 p, float time)
{
    float s = saturate((time - Q9_ZOOM_START) / Q9_ZOOM_TIME);
    float w, h;
    Q9.GetDimensions(w, h);
    float2 size = float2(1.0, h / w) * PORTRAIT_WIDTH;
    // The spot on the middle portrait, taken as uncropped and standing at ARCH_BASE.
    float2 target = float2(-0.5 * size.x, ARCH_BASE - size.y) + Q9_DARK_SPOT * size;
    float zoom = exp(log(Q9_ZOOM) * s * s);
    return lerp(float2(0.0, 0.0), target, smoothstep(0.0, 0.7, s)) + mul(rot(Q9_SPIN * s * s), p) / zoom;
}

// ---------------------------------------------------------------------------
// Scene 4: the tunnel.

// Texel of a tunnel tile: uv.x runs round the circumference (TUNNEL_SIDES tiles
// a turn), uv.y along the tunnel (one ring of tiles per unit). Each tile shows
// one of the three portraits or the logo's emblem, picked at random per tile;
// the whole picture fills the tile. gx, gy are the screen gradients of uv.
// Premultiplied and sRGB-encoded, for over().
float4 tunnelTexel(float2 uv, float2 gx, float2 gy)
{
    float2 tile = floor(uv);
    // Wrap round the circumference, so a tile comes back the same after a turn.
    tile.x -= TUNNEL_SIDES * floor(tile.x / TUNNEL_SIDES);
    float pick = hash(tile + 0.5);
    float2 f = frac(uv);
    if (pick < 0.25)
        return Tumlo.SampleGrad(ClampSampler, f, gx, gy);
    if (pick < 0.5)
        return Q9.SampleGrad(ClampSampler, f, gx, gy);
    if (pick < 0.75)
    {
        // The right portrait cut to its bust, as in the crew scene.
        float2 bust = float2(1.0, PORTRAIT_CROP.z);
        return Vispel.SampleGrad(ClampSampler, f * bust, gx * bust, gy * bust);
    }
    // The emblem in cream, as on the rotozoomer's tiles: the middle TILE_CROP of
    // the plate's width, its full height. Cream is encoded to sRGB and
    // premultiplied here so that over() restores it.
    float2 crop = float2(TILE_CROP, 1.0);
    float emblem = 1.0 - Logo.SampleGrad(ClampSampler, float2(0.5, 0.0) + (f - float2(0.5, 0.0)) * crop,
                                         gx * crop, gy * crop).a;
    return float4(pow(CREAM, 1.0 / 2.2), 1.0) * emblem;
}

// The vanishing point, u seconds into the tunnel: slow loops, starting from the
// centre over the first four seconds.
float2 tunnelCentre(float u)
{
    return float2(0.30 * sin(0.7 * u), 0.18 * sin(0.53 * u)) * smoothstep(0.0, 4.0, u);
}

// Share of the vanishing point's drift that applies at distance r: all of it far
// down the tunnel, fading out towards the near walls, so the tunnel bends
// instead of sliding as a block. Drift amplitude times falloff rate (0.30 x 2.5)
// must stay below 1, or the view folds over.
float tunnelBend(float r)
{
    return exp(-2.5 * r);
}

// The main tunnel: rippling, swelling and breathing, its walls turning and
// flying past, dark towards the far end; it opens out of ink over TUNNEL_FADE.
float3 tunnel(float2 p, float time)
{
    float u = time - TUNNEL_START;
    float2 c = tunnelCentre(u);
    // Offset from the bent centre line, refined twice.
    float2 d = p - c * tunnelBend(length(p - c * tunnelBend(length(p))));
    float r = length(d);
    float a = atan2(d.y, d.x);

    // Ripples: lobes running round the wall and rings travelling along it.
    float ripple = TUNNEL_RIPPLE * smoothstep(1.0, 3.0, u);
    r *= 1.0 + ripple * (0.6 * sin(4.0 * a + 2.0 * u) + 0.4 * sin(6.0 * TUNNEL_DEPTH / r - 5.0 * u));

    // Bulges fixed to the walls, and the whole tunnel slowly breathing.
    float swell = smoothstep(2.0, 5.0, u);
    r /= 1.0 + swell * (TUNNEL_SWELL * sin(0.7 * (TUNNEL_DEPTH / r + TUNNEL_SPEED * u)) + TUNNEL_BREATHE * sin(1.3 * u));

    float2 uv = float2((a + TUNNEL_SPIN * u) / (2.0 * PI) * TUNNEL_SIDES, TUNNEL_DEPTH / r + TUNNEL_SPEED * u);

    // atan2 jumps by 2 pi along one ray, which would spoil the mip selection
    // there. The opposite angle jumps on the opposite ray; take the angle
    // derivatives from whichever of the two is smooth at this pixel.
    float a2 = atan2(-d.y, -d.x);
    float2 da1 = float2(ddx(a), ddy(a));
    float2 da2 = float2(ddx(a2), ddy(a2));
    float2 da = dot(da1, da1) <= dot(da2, da2) ? da1 : da2;
    float2 gx = float2(da.x * TUNNEL_SIDES / (2.0 * PI), ddx(uv.y));
    float2 gy = float2(da.y * TUNNEL_SIDES / (2.0 * PI), ddy(uv.y));

    float3 col = over(VELK, tunnelTexel(uv, gx, gy), 1.0);
    float light = saturate(2.5 * r) * smoothstep(0.0, TUNNEL_FADE, u);
    return lerp(INK, col, light);
}

// A tunnel seen through an opening. q is the position in the opening (0 at its
// vanishing point, 0.6 at its rim), dqdx and dqdy its screen derivatives. This
// runs inside a branch, where screen derivatives are unreliable, so the uv
// gradients are worked out analytically from q's.
float3 smallTunnel(float2 q, float2 dqdx, float2 dqdy, float u, float spin, float seed)
{
    float r = max(length(q), 0.0001);
    float a = atan2(q.y, q.x);
    float2 uv = float2((a + spin * u) / (2.0 * PI) * TUNNEL_SIDES, TUNNEL_DEPTH / r + TUNNEL_SPEED * u);
    float2 dAngle = float2(-q.y, q.x) / (r * r) * TUNNEL_SIDES / (2.0 * PI);
    float2 dDepth = -TUNNEL_DEPTH * q / (r * r * r);
    float2 gx = float2(dot(dAngle, dqdx), dot(dDepth, dqdx));
    float2 gy = float2(dot(dAngle, dqdy), dot(dDepth, dqdy));
    // The seed shifts each opening to its own mix of pictures.
    float3 col = over(VELK, tunnelTexel(uv + float2(0.0, 37.0 * seed), gx, gy), 1.0);
    return lerp(INK, col, saturate(2.5 * r));
}

// New tunnels opening in the walls: each opens near the far end, grows in,
// drifts outwards accelerating and doubles in size on its way out of the
// picture, with a soft shadow round it and an ink rim.
float3 portals(float3 col, float2 p, float time)
{
    float u = time - TUNNEL_START;
    float2 c = tunnelCentre(u);
    // Taken before any branch: the openings' gradients are derived from these.
    float2 dpdx = ddx(p);
    float2 dpdy = ddy(p);
    // Only the openings that may be alive now: with bounds that come from the time
    // a software GPU skips the others instead of running them masked. The bounds
    // err outwards; the test below decides.
    int first = max(0, (int)floor((time - PORTAL_START - PORTAL_LIFE) / PORTAL_INTERVAL));
    int last = min((int)PORTAL_COUNT - 1, (int)ceil((time - PORTAL_START) / PORTAL_INTERVAL));
    for (int i = first; i <= last; i++)
    {
        float age = time - (PORTAL_START + i * PORTAL_INTERVAL);
        if (age < 0.0 || age > PORTAL_LIFE)
            continue;
        float life = age / PORTAL_LIFE;
        float angle = hash(float2(i, 3.7)) * 2.0 * PI;
        float2 o = c + float2(cos(angle), sin(angle)) * lerp(0.3, 1.4, life * life);
        float radius = PORTAL_SIZE * smoothstep(0.0, 1.2, age) * (1.0 + life);
        // At the moment of opening the radius is still 0 and the opening draws
        // nothing (the shadow's step would degenerate into a full shadow).
        if (radius <= 0.0)
            continue;
        float dist = length(p - o);
        col = lerp(col, 0.45 * col, smoothstep(1.2 * radius, radius, dist));
        if (dist < radius)
        {
            float scale = 0.6 / radius;
            // Neighbours turn opposite ways.
            float spin = ((i & 1) == 0 ? -1.5 : 1.5) * TUNNEL_SPIN;
            float3 inside = smallTunnel((p - o) * scale, dpdx * scale, dpdy * scale, u, spin, i + 1);
            col = lerp(inside, INK, smoothstep(radius - 0.014, radius - 0.007, dist));
        }
    }
    return col;
}

// Six metaballs orbiting the vanishing point, merging and splitting: two each of
// cream, key colour and ink, the two of one colour starting opposite each other,
// each keeping its colour as they merge. Shaded like soft spheres lit from the
// upper left, with an ink outline.
float3 metaballs(float3 col, float2 p, float time)
{
    float grow = smoothstep(METABALL_START, METABALL_START + METABALL_GROW, time);
    if (grow <= 0.0)
        return col;
    float u = time - TUNNEL_START;
    float2 c = tunnelCentre(u);
    float3 colours[3] = { CREAM, 1.6 * VELK, 1.5 * INK };

    float field = 0.0;
    float2 gradient = 0.0;
    float3 albedo = 0.0;
    float weights = 0.0;
    // No balls before they start growing: a loop bounded by the time is skipped by
    // a software GPU, where the return above only masks what follows.
    int balls = grow > 0.0 ? 6 : 0;
    for (int i = 0; i < balls; i++)
    {
        float k = 1.0472 * i;
        float2 ci = c + float2(0.14 * sin(0.9 * u + k) + 0.05 * sin(2.3 * u + 2.0 * k),
                               0.10 * cos(1.1 * u + k) + 0.05 * cos(1.7 * u + 3.0 * k)) * grow;
        float ri = (0.055 + 0.015 * sin(1.3 * u + k)) * grow;
        float2 qi = p - ci;
        float q2 = max(dot(qi, qi), 0.000001);
        float fi = ri * ri / q2;
        field += fi;
        gradient -= 2.0 * ri * ri * qi / (q2 * q2);
        // Fourth-power weights: the colour follows the strongest ball and
        // blends only in a narrow band where two meet.
        float wi = fi * fi;
        wi *= wi;
        albedo += colours[i % 3] * wi;
        weights += wi;
    }
    albedo /= weights;

    // Distance to the surface field = 1, estimated on 1 / field, which stays
    // well-behaved at the balls' centres. aa is one pixel in scene units, also
    // while the view is zoomed.
    float dist = (1.0 - 1.0 / field) * field * field / max(length(gradient), 0.0001);
    float aa = length(float2(ddx(p.x), ddy(p.x)));
    float inside = smoothstep(-aa, aa, dist);
    if (inside <= 0.0)
        return col;

    float2 slope = gradient / (field * field);
    float3 n = normalize(float3(-0.06 * slope.x, -0.06 * slope.y, 1.0));
    float3 l = normalize(float3(-0.5, -0.6, 0.8));
    float diffuse = saturate(dot(n, l));
    float spec = pow(saturate(dot(reflect(-l, n), float3(0.0, 0.0, 1.0))), 24.0);
    float3 shaded = albedo * lerp(0.35, 1.0, diffuse) + CREAM * spec * 0.5;
    // Outline of a fixed width in scene units.
    shaded = lerp(INK, shaded, smoothstep(0.004, 0.004 + aa, dist));
    return lerp(col, shaded, inside);
}

// ---------------------------------------------------------------------------
// Scene 5: plasma and scrollers.

// A plasma in ink, key colour and cream, fading in out of the key colour. The
// cycle runs ink, key colour, cream and back, so cream and ink never meet.
float3 plasma(float2 p, float time)
{
    float u = time - PLASMA_START;
    // The last term is a circular wave whose centre wanders.
    float v = sin(6.0 * p.x + u) + sin(0.8 * (5.0 * p.y - u)) + sin(4.0 * p.x + 7.0 * p.y + 1.3 * u)
              + sin(length(8.0 * p + 2.0 * float2(sin(0.5 * u), cos(0.7 * u))) - 1.5 * u);
    float x = frac(0.25 * v + 0.5 + 0.08 * u);
    float t = 1.0 - abs(2.0 * x - 1.0);
    float3 col;
    if (t < 0.5)
        col = lerp(INK, VELK, smoothstep(0.0, 0.5, t));
    else
        col = lerp(VELK, CREAM, smoothstep(0.5, 1.0, t));
    return lerp(VELK, col, smoothstep(0.0, PLASMA_FADE, u));
}

// The line of scroll text sliding in from the right along a gentle uphill line
// with a sine wave on it: cream letters with a soft ink shadow. The slope and the
// wave are fixed to the screen, so the letters ride through them as they slide.
float3 scroller(float3 col, float2 p, float time)
{
    float u = time - SCROLL_START;
    if (u < 0.0)
        return col;
    float w, h;
    Scrolltext.GetDimensions(w, h);
    float2 size = float2(w, h) * SCROLL_HEIGHT / h;
    // The text's left edge starts at the right screen edge.
    float left = 0.5 * iResolution.x / iResolution.y - SCROLL_SPEED * u;
    float baseline = -SCROLL_SLOPE * p.x + SCROLL_WAVE * sin(7.0 * p.x - 3.0 * u);
    // The middle of the text's height follows the baseline.
    float2 uv = float2(p.x - left, p.y - baseline) / size + float2(0.0, 0.5);
    // Sampled wherever uv is and masked inside wornText, so the mip selection
    // stays valid at the text's ends.
    float coverage = wornText(Scrolltext, uv, size, SCROLL_GRAIN, 1.0);
    // The shadow lies 0.006 to the right and 0.01 below.
    float2 shadowUV = uv - float2(0.006, 0.01) / size;
    float shadow = Scrolltext.SampleLevel(ClampSampler, shadowUV, 2).a
                   * (all(shadowUV == saturate(shadowUV)) ? 1.0 : 0.0);
    col = lerp(col, INK, 0.8 * shadow);
    return lerp(col, CREAM, coverage);
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

// A column of upright letters travelling up (or down) a path through origin that
// leans slightly off vertical, wobbling sideways on a sine wave; it starts just
// off the screen edge it enters from. Same look as the sideways scroller.
float3 columnScroller(Texture2D column, float3 col, float2 p, float2 origin, bool downwards, float start,
                      float phase, float time)
{
    float u = time - start;
    if (u < 0.0)
        return col;
    float2 size = columnSize(column);
    float2 down = normalize(float2(SCROLL_LEAN, 1.0));
    float2 right = float2(down.y, -down.x);
    // Going down, its bottom edge starts at the top of the screen; going up, its
    // top edge starts at the bottom.
    float top = downwards ? -0.5 - size.y + SCROLL_SPEED * u : 0.5 - SCROLL_SPEED * u;
    // The wave runs against the letters' travel, so they sway as they pass it.
    float drift = downwards ? 3.0 : -3.0;
    float2 q = p - origin;
    float b = dot(q, down);
    float2 uv = float2(dot(q, right) - SCROLL_WAVE * sin(7.0 * b + drift * u + phase), b - top) / size
                + float2(0.5, 0.0);
    // The shadow: the same with q shifted by (0.006, 0.01), the wave included.
    float2 qs = q - float2(0.006, 0.01);
    float bs = dot(qs, down);
    float2 shadowUV = float2(dot(qs, right) - SCROLL_WAVE * sin(7.0 * bs + drift * u + phase), bs - top) / size
                      + float2(0.5, 0.0);
    float coverage = wornText(column, uv, size, SCROLL_GRAIN, phase);
    float shadow = column.SampleLevel(ClampSampler, shadowUV, 2).a
                   * (all(shadowUV == saturate(shadowUV)) ? 1.0 : 0.0);
    col = lerp(col, INK, 0.8 * shadow);
    return lerp(col, CREAM, coverage);
}

// The three scrollers. Each column starts that long before the previous text has
// fully entered. A column going up enters top line first and one going down
// bottom line first, so both bring their letters in in the order of their texts.
float3 scrollers(float3 col, float2 p, float time)
{
    float upStart = scrollWritten(SCROLL_START) - SCROLL_LEAD;
    float downStart = columnWritten(ScrollUp, upStart) - SCROLL_DOWN_LEAD;
    col = scroller(col, p, time);
    col = columnScroller(ScrollUp, col, p, SCROLL_UP_COLUMN, false, upStart, 1.7, time);
    col = columnScroller(ScrollDown, col, p, SCROLL_DOWN_COLUMN, true, downStart, 3.1, time);
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

// The spray can bouncing across the plain key colour hop by hop along CAN_HOPS,
// leaning into each hop, squashing when it lands, spinning on the way out, with
// a soft shadow on the floor.
float3 canFinale(float2 p, float time)
{
    float3 col = VELK;
    float t = time - canStart();
    if (t < 0.0)
        return col;
    // The current hop; a moment exactly at the end of a hop belongs to the next.
    int current = -1;
    for (int i = 0; i < 5; i++)
    {
        if (t < CAN_HOPS[i].w)
        {
            current = i;
            break;
        }
        t -= CAN_HOPS[i].w;
    }
    if (current < 0)
        return col;
    float4 hop = CAN_HOPS[current];
    float s = t / hop.w;
    float since = t;  // since the hop began, the previous landing

    float x = lerp(hop.x, hop.y, s);
    float lift = 4.0 * hop.z * s * (1.0 - s);
    float direction = sign(hop.y - hop.x);

    // The shadow on the floor: at a lift of 0.55 it has half its size and 40% of
    // its strength.
    float2 sq = (p - float2(x, CAN_FLOOR)) / (float2(0.14, 0.028) * (1.0 - 0.5 * lift / 0.55));
    col *= 1.0 - 0.4 * (1.0 - 0.6 * lift / 0.55) * smoothstep(1.0, 0.3, length(sq));

    // Landing squash settling with a wobble; the first hop starts off screen.
    float squash = current > 0 ? 0.2 * exp(-12.0 * since) * cos(25.0 * since) : 0.0;
    float angle = direction * 0.25 * sin(PI * s);
    if (current == 4)
        angle += direction * 2.0 * PI * s * s;  // one whole accelerating turn on the way out

    float w, h;
    DataVelk.GetDimensions(w, h);
    float2 size = float2(CAN_HEIGHT * w / h * (1.0 + 0.6 * squash), CAN_HEIGHT * (1.0 - squash));
    // The pivot is the can's bottom centre; the spin turns about its middle.
    float2 pivot = float2(x, CAN_FLOOR - lift);
    float2 m = float2(0.0, -0.5 * size.y);
    float2 q = mul(rot(angle), p - pivot - m) + m;
    float2 uv = float2(q.x / size.x + 0.5, 1.0 + q.y / size.y);
    // Clamped coordinates, mip selection from the unclamped ones.
    float4 texel = DataVelk.SampleGrad(ClampSampler, saturate(uv), ddx(uv), ddy(uv))
                   * (all(uv == saturate(uv)) ? 1.0 : 0.0);
    return over(col, texel, 1.0);
}

// Ink coverage of one block of credits, its top edge at CREDIT_TOP, centred on x.
float credit(Texture2D text, float2 p, float x, float tilt, float seed)
{
    float w, h;
    text.GetDimensions(w, h);
    float2 size = float2(w, h) * CREDIT_SCALE;
    float2 q = mul(rot(radians(tilt)), p - float2(x, CREDIT_TOP + 0.5 * size.y));
    return wornText(text, q / size + 0.5, size, CREDIT_GRAIN, seed);
}

// The closing picture, slightly tilted like a photo laid on the floor, with a
// soft shadow; fade is its opacity.
float3 picture(float3 col, float2 p, float fade)
{
    if (fade <= 0.0)
        return col;
    float w, h;
    Picture.GetDimensions(w, h);
    float2 size = float2(w / h, 1.0) * PICTURE_HEIGHT;
    float2 q = mul(rot(radians(PICTURE_TILT)), p - float2(0.0, PICTURE_Y));
    float2 e = abs(q - float2(0.012, 0.018)) - 0.5 * size;
    col = lerp(col, 0.55 * col, (1.0 - smoothstep(-0.01, 0.025, max(e.x, e.y))) * fade);
    float2 uv = q / size + 0.5;
    // An edge one pixel soft.
    float2 edge = abs(q) - 0.5 * size;
    float inside = saturate(0.5 - max(edge.x, edge.y) * iResolution.y);
    // Clamped coordinates, mip selection from the unclamped ones.
    float4 texel = Picture.SampleGrad(ClampSampler, saturate(uv), ddx(uv), ddy(uv));
    return over(col, texel * inside, fade);
}

// Over the can's floor: the last word, stamped and fading in, then the picture
// where the word was, and the two blocks of credits under it.
float3 velkt(float3 col, float2 p, float time)
{
    float start = velktStart();
    if (time < start)
        return col;
    // The stamp falls a second before the word starts fading in, so the slam has
    // settled before it shows: the word only fades in.
    float wordFade = smoothstep(start, start + VELKT_FADE, time)
                     * (1.0 - smoothstep(velktOutStart(), pictureStart(), time));
    col = lerp(col, INK, stamp(Velkt, p, float2(0.0, 0.0), VELKT_WIDTH, 0.0, start - 1.0, time) * 0.97 * wordFade);

    col = picture(col, p, smoothstep(pictureStart(), pictureStart() + PICTURE_FADE, time)
                          * (1.0 - smoothstep(finalFadeStart(), demoEnd(), time)));

    // The credits fade in over the word's fade time.
    float creditFade = smoothstep(start + CREDIT_DELAY, start + CREDIT_DELAY + VELKT_FADE, time)
                       * (1.0 - smoothstep(creditsOutStart(), creditsOutStart() + CREDIT_OUT, time));
    float coverage = max(credit(Credits1, p, -CREDIT_SPREAD, CREDIT_TILT[0], 3.0),
                         credit(Credits2, p, CREDIT_SPREAD, CREDIT_TILT[1], 5.0));
    return lerp(col, INK, coverage * 0.97 * creditFade);
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
