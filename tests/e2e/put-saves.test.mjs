// A wiki page with no saver settings, served by Fernhollow, saves through
// TiddlyWiki's own put saver: on load the wiki asks the server (OPTIONS) whether
// its address takes PUT and notes the page's ETag (HEAD); its save then puts the
// new page to its own address with If-Match. The page is replaced in place,
// never downloaded; a page that changed on disk since the tab loaded it (another
// tab's save, another program) is not overwritten, the wiki shows the server's
// reason and the tab's version is kept beside it.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, it } from 'node:test';
import {
    addTiddlerThroughEditor, backupDirName, buildPlainWikiPage, currentETag, expectConflict, expectSaved, Fernhollow,
    launchChromium, makeTempDir, openWiki, pressSave, probeLimitMs, putSaverState, saveLimitMs, screenshot, waitForWiki,
    welcomeText, welcomeTitle, wikiFileName,
} from './support.mjs';

const indexName = 'index.html';
const conflictName = 'tiddly-conflict.html';
const rewrittenName = 'tiddly-rewritten.html';
const autoSaveName = 'tiddly-autosave.html';
describe('saving a wiki without saver settings by PUT to its own address', { timeout: 240000 }, () => {
    let root;
    let server;
    let browser;
    const originals = {};
    // Every page the root holds: a save must leave no other file beside them.
    const pages = [wikiFileName, indexName, conflictName, rewrittenName, autoSaveName];

    before(async () => {
        root = makeTempDir('put-root');
        // No backup folder: the first save makes it.
        const plain = buildPlainWikiPage(root, wikiFileName);
        for (const name of [indexName, conflictName, rewrittenName]) fs.copyFileSync(plain, path.join(root, name));
        buildPlainWikiPage(root, autoSaveName, { autoSave: true });
        for (const name of pages) originals[name] = fs.readFileSync(path.join(root, name));
        server = await Fernhollow.start(root);
        browser = await launchChromium();
    });

    after(async () => {
        await browser?.close();
        await server?.stop();
        if (root) fs.rmSync(root, { recursive: true, force: true });
    });

    it('saves in place with the save button, the old page kept in the backup folder; also index.html at "/"', async () => {
        for (const [name, address] of [[wikiFileName, `/${wikiFileName}`], [indexName, '/']]) {
            const title = `Put through ${address}`;
            const text = `In place – 上書き ✓ (${name})`;
            const url = `${server.origin}${address}`;
            const context = await browser.newContext();
            const { page, seen } = await openWiki(context, url, server);
            await addTiddlerThroughEditor(page, title, text);
            const sent = await expectSaved(page, await pressSave(page), url, server);
            assert.deepEqual(seen.downloads, []);
            assert.deepEqual(seen.dialogs, []);
            assert.deepEqual(seen.errors, []);

            const pagePath = path.join(root, name);
            const saved = fs.readFileSync(pagePath);
            assert.ok(saved.equals(sent), `${name} on disk is the page the wiki sent, byte for byte`);
            assert.ok(saved.includes(Buffer.from(text, 'utf8')), `${name} holds the new tiddler in UTF-8`);
            assert.ok(fs.readFileSync(path.join(root, backupDirName, name)).equals(originals[name]),
                `${backupDirName}/${name} is the page before the save`);
            const versions = fs.readdirSync(path.join(root, 'history', name));
            assert.equal(versions.length, 1, `one version of ${name} in its history: ${versions}`);
            assert.ok(fs.readFileSync(path.join(root, 'history', name, versions[0])).equals(originals[name]),
                'the version kept in the history is the page before the save');
            assert.equal(await currentETag(url), (await putSaverState(page)).etag,
                'the ETag the save answered is the one the server names now');
            assert.deepEqual(fs.readdirSync(root).sort(), [backupDirName, 'history', ...pages].sort(),
                'no temporary file is left in the root');
            if (name === wikiFileName) await screenshot(page, 'put-saves-after-save.png');

            // Loaded afresh, the page shows the new tiddler.
            const reloaded = await context.newPage();
            await reloaded.goto(`${url}#${encodeURIComponent(title)}`);
            await waitForWiki(reloaded);
            const frame = reloaded.locator(`.tc-tiddler-view-frame[data-tiddler-title="${title}"]`);
            await frame.waitFor();
            assert.equal((await frame.locator('.tc-tiddler-body').textContent()).trim(), text);
            await context.close();
        }
        assert.deepEqual(fs.readdirSync(path.join(root, backupDirName)).sort(), [indexName, wikiFileName].sort());
    });

    it('refuses the save of a tab loaded before another tab saved, keeps its version, saves after a reload', async () => {
        const url = `${server.origin}/${conflictName}`;
        const pagePath = path.join(root, conflictName);
        const context = await browser.newContext();
        const tabA = await openWiki(context, url, server);
        const tabB = await openWiki(context, url, server);

        await addTiddlerThroughEditor(tabA.page, 'From tab A', 'Tab A was first – A ✓');
        const sentA = await expectSaved(tabA.page, await pressSave(tabA.page), url, server);
        assert.ok(fs.readFileSync(pagePath).equals(sentA));

        await addTiddlerThroughEditor(tabB.page, 'From tab B', 'Tab B came second – B ✗');
        const response = await pressSave(tabB.page);
        const { copy, text } = await expectConflict({ ...tabB, response, root, name: conflictName });
        await screenshot(tabB.page, 'put-saves-conflict.png');
        assert.deepEqual(tabB.seen.downloads, []);
        assert.deepEqual(tabB.seen.errors, []);
        const onDisk = fs.readFileSync(pagePath);
        assert.ok(onDisk.equals(sentA), `the page on disk is still tab A's save (server said: ${text})`);
        assert.ok(!onDisk.includes(Buffer.from('Tab B came second', 'utf8')));
        assert.ok(fs.readFileSync(copy).includes(Buffer.from('Tab B came second – B ✗', 'utf8')),
            'the conflict copy holds tab B\'s tiddler');

        // The alert ends with an address to open: the page's history, which lists the copy; the
        // copy opens as a wiki that says at its top that it is a conflict copy.
        const address = text.trim().split('\n').pop();
        assert.equal(address, `${server.origin}/tiddly/history?page=${conflictName}`);
        const historyTab = await context.newPage();
        await historyTab.goto(address);
        const copyRow = historyTab.locator('tr', { hasText: 'conflict copy' });
        assert.equal(await copyRow.count(), 1, await historyTab.content());
        const [opened] = await Promise.all([
            context.waitForEvent('page'),
            copyRow.getByRole('link', { name: 'open' }).click(),
        ]);
        await waitForWiki(opened);
        const notice = opened.getByText(new RegExp(`^A conflict copy of ${conflictName} \\(the edits a stale tab tried to save\\), kept `));
        await notice.waitFor();
        assert.ok(await notice.isVisible());
        await screenshot(opened, 'put-saves-conflict-copy.png');
        await opened.close();
        await historyTab.close();

        // Tab B reloads (leaving its unsaved edit), now holds tab A's tiddler, and saves.
        tabB.seen.dialogs.length = 0;
        await tabB.page.reload();
        await waitForWiki(tabB.page);
        const deadline = Date.now() + probeLimitMs;
        while ((await putSaverState(tabB.page)).etag === null && Date.now() < deadline) {
            await new Promise((resolve) => setTimeout(resolve, 50));
        }
        assert.equal(await tabB.page.evaluate(() => window.$tw.wiki.getTiddlerText('From tab A')), 'Tab A was first – A ✓');
        await addTiddlerThroughEditor(tabB.page, 'From tab B again', 'After the reload – B ✓');
        const sentB = await expectSaved(tabB.page, await pressSave(tabB.page), url, server);
        const final = fs.readFileSync(pagePath);
        assert.ok(final.equals(sentB));
        assert.ok(final.includes(Buffer.from('Tab A was first – A ✓', 'utf8')));
        assert.ok(final.includes(Buffer.from('After the reload – B ✓', 'utf8')));
        assert.deepEqual(tabB.seen.dialogs, []);
        assert.deepEqual(tabB.seen.downloads, []);
        await context.close();
    });

    it('does not overwrite a page another program rewrote after the tab loaded it, at the same size', async () => {
        const url = `${server.origin}/${rewrittenName}`;
        const pagePath = path.join(root, rewrittenName);
        const context = await browser.newContext();
        const tab = await openWiki(context, url, server);

        // Another program changes one byte of the page in place: same length, same file.
        const bytes = fs.readFileSync(pagePath);
        const at = bytes.indexOf(Buffer.from(welcomeText, 'utf8'));
        assert.ok(at > 0);
        bytes[at] = 'w'.charCodeAt(0);
        fs.writeFileSync(pagePath, bytes);
        assert.equal(fs.statSync(pagePath).size, originals[rewrittenName].length);

        await addTiddlerThroughEditor(tab.page, 'Written meanwhile', 'The tab does not know – ✗');
        const response = await pressSave(tab.page);
        const { copy } = await expectConflict({ ...tab, response, root, name: rewrittenName });
        assert.deepEqual(tab.seen.downloads, []);
        assert.ok(fs.readFileSync(pagePath).equals(bytes), 'the page on disk keeps the other program\'s bytes');
        assert.ok(fs.readFileSync(copy).includes(Buffer.from('The tab does not know – ✗', 'utf8')));
        await context.close();
    });

    it('autosaves by PUT when a tiddler is edited and done, each change landing on disk', async () => {
        const url = `${server.origin}/${autoSaveName}`;
        const pagePath = path.join(root, autoSaveName);
        const context = await browser.newContext();
        const { page, seen } = await openWiki(context, url, server);
        let previous = originals[autoSaveName];
        for (const text of ['First autosaved text – 自動 ✓', 'Second autosaved text – ½ ✓']) {
            // The story river animates frames in and out: act on the one frame left standing.
            const viewSelector = `.tc-tiddler-view-frame[data-tiddler-title="${welcomeTitle}"]`;
            await page.waitForFunction((s) => document.querySelectorAll(s).length === 1, viewSelector);
            await page.locator(viewSelector).getByRole('button', { name: 'edit this tiddler' }).click();
            await page.waitForFunction(() => document.querySelectorAll('.tc-tiddler-edit-frame').length === 1);
            const editor = page.locator('.tc-tiddler-edit-frame');
            // The text editor may be drawn anew while it opens, dropping what was typed into
            // the old one: type into the newest until the draft holds the text.
            for (let attempt = 1; ; attempt++) {
                await editor.frameLocator('iframe.tc-edit-texteditor-body').last().locator('textarea').fill(text);
                const draft = await page.evaluate((title) => window.$tw.wiki.getTiddlerText(title),
                    `Draft of '${welcomeTitle}'`);
                if (draft === text) break;
                assert.ok(attempt < 5, `the editor never kept the text; the draft holds: ${draft}`);
                await new Promise((resolve) => setTimeout(resolve, 200));
            }
            // A frame drawn anew shows beside the old one until that one has animated away.
            await page.waitForFunction(() => document.querySelectorAll('.tc-tiddler-edit-frame').length === 1);
            const [response] = await Promise.all([
                page.waitForResponse((r) => r.request().method() === 'PUT', { timeout: saveLimitMs }),
                editor.getByRole('button', { name: 'Confirm changes to this tiddler' }).click(),
            ]);
            const sent = await expectSaved(page, response, url, server);
            const saved = fs.readFileSync(pagePath);
            assert.ok(saved.equals(sent), 'the page on disk is the autosaved page, byte for byte');
            assert.ok(saved.includes(Buffer.from(text, 'utf8')), `the page on disk holds "${text}"`);
            assert.ok(fs.readFileSync(path.join(root, backupDirName, autoSaveName)).equals(previous),
                'the backup is the page before this save');
            previous = saved;
        }
        assert.deepEqual(seen.downloads, []);
        assert.deepEqual(seen.dialogs, []);
        assert.deepEqual(seen.errors, []);
        assert.ok(seen.console.filter((line) => line.includes('through saver put')).length >= 2,
            `both saves went through the put saver; browser console:\n${seen.console.join('\n')}`);
        await context.close();
    });
});
